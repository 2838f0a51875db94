#include "http/connection_pool.hpp"

#include "http/transfer_session.hpp"

namespace http {

ConnectionPool::ConnectionPool() : session_(std::make_unique<TransferSession>()) {}

ConnectionPool::~ConnectionPool() = default;

}  // namespace http
