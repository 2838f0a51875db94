#include "http/shared_connections.hpp"

#include "http/transfer_session.hpp"

namespace http {
namespace {

SharedConnections* innermost = nullptr;

}  // namespace

SharedConnections::SharedConnections()
    : session_(std::make_unique<TransferSession>()), outer_(innermost) {
  innermost = this;
}

SharedConnections::~SharedConnections() { innermost = outer_; }

TransferSession* SharedConnections::current() noexcept {
  return innermost == nullptr ? nullptr : innermost->session_.get();
}

}  // namespace http
