#include "http/transfer_session.hpp"

#include "common/errors.hpp"
#include "http/transfer.hpp"

namespace http {
namespace {

// Idle connections kept for reuse: one per transfer that a run keeps in flight,
// and as many again for redirect targets.
constexpr long kCachedConnections = 16;
// A cap on each wait while one transfer is run alone; libcurl's own timers
// shorten it whenever they are due earlier.
constexpr int kRunPollMilliseconds = 1000;

void check(const CurlApi& curl, CURLMcode code) {
  if (code != CURLM_OK) {
    throw common::CurlError(curl.multiStrerror(code));
  }
}

}  // namespace

void MultiHandleCleanup::operator()(CURLM* multi) const noexcept { curl->multiCleanup(multi); }

TransferSession::TransferSession(const CurlApi& curl, std::chrono::milliseconds connectTimeout)
    : curl_(curl),
      multi_(curl.multiInit(), MultiHandleCleanup{&curl}),
      connectTimeoutMilliseconds_(static_cast<long>(connectTimeout.count())) {
  if (!multi_) {
    throw common::CurlError("multi_init() failed");
  }
  curl_.multiSetopt(multi_.get(), CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  curl_.multiSetopt(multi_.get(), CURLMOPT_MAXCONNECTS, kCachedConnections);
}

void TransferSession::add(Transfer& transfer) {
  TOLVEX_CHECK(transfer.session_ == nullptr && !transfer.done_, "a transfer runs only once");
  curl_.easySetopt(transfer.handle(), CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMilliseconds_);
  transfer.context_.sockets = &sockets_;
  check(curl_, curl_.multiAddHandle(multi_.get(), transfer.handle()));
  transfer.session_ = this;
}

void TransferSession::remove(Transfer& transfer) noexcept {
  if (transfer.session_ == this) {
    curl_.multiRemoveHandle(multi_.get(), transfer.handle());
    transfer.session_ = nullptr;
  }
}

void TransferSession::run(Transfer& transfer) {
  add(transfer);
  finish(transfer);
}

void TransferSession::finish(Transfer& transfer) {
  // Leaves on every exit, so that the session may end before the transfer.
  struct Leave {
    TransferSession& session;
    Transfer& transfer;
    ~Leave() { session.remove(transfer); }
  } const leave{*this, transfer};
  performAndDispatch();
  while (!transfer.done()) {
    drive(kRunPollMilliseconds);
  }
}

void TransferSession::drive(int timeoutMilliseconds) {
  check(curl_, curl_.multiPoll(multi_.get(), nullptr, 0, timeoutMilliseconds, nullptr));
  performAndDispatch();
}

void TransferSession::wake() noexcept { curl_.multiWakeup(multi_.get()); }

void TransferSession::performAndDispatch() {
  int running = 0;
  check(curl_, curl_.multiPerform(multi_.get(), &running));
  int queued = 0;
  while (CURLMsg* message = curl_.multiInfoRead(multi_.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) {
      continue;
    }
    char* owner = nullptr;
    curl_.easyGetinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    auto* transfer = reinterpret_cast<Transfer*>(owner);
    // The message belongs to the handle: read it before the handle leaves.
    const CURLcode result = message->data.result;
    remove(*transfer);
    transfer->complete(result);
  }
}

}  // namespace http
