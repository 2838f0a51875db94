#include "http/connection_pool.hpp"

#include "http/transfer_session.hpp"

namespace http {

ConnectionPool::ConnectionPool(const CurlApi& curl, std::string environmentCaBundle,
                               std::chrono::milliseconds connectTimeout)
    : curl_(curl),
      session_(std::make_unique<TransferSession>(curl, connectTimeout)),
      environmentCaBundle_(std::move(environmentCaBundle)) {}

ConnectionPool::~ConnectionPool() = default;

std::string environmentCaBundle(const char* curlCaBundle, const char* sslCertFile) {
  for (const char* value : {curlCaBundle, sslCertFile}) {
    if (value != nullptr && *value != '\0') {
      return value;
    }
  }
  return {};
}

}  // namespace http
