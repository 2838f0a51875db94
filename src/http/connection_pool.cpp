#include "http/connection_pool.hpp"

#include "http/transfer_session.hpp"

namespace http {

ConnectionPool::ConnectionPool(std::chrono::milliseconds connectTimeout)
    : session_(std::make_unique<TransferSession>(connectTimeout)) {}

ConnectionPool::~ConnectionPool() = default;

}  // namespace http
