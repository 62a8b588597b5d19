#include "ready_channel.hpp"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

#include "debug_text.hpp"

namespace tarnwick {

class ReadyChannelState {
 public:
  void add_sender() {
    const std::lock_guard lock(mutex_);
    ++senders_;
  }

  void remove_sender() {
    {
      const std::lock_guard lock(mutex_);
      --senders_;
      if (senders_ != 0) return;
    }
    changed_.notify_all();
  }

  bool push(ReadyMessage message) {
    {
      const std::lock_guard lock(mutex_);
      if (!receiving_) return false;
      queue_.push_back(std::move(message));
    }
    changed_.notify_one();
    return true;
  }

  Received pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !queue_.empty() || senders_ == 0; });
    if (queue_.empty()) return Received::err(RecvError{});
    ReadyMessage message = std::move(queue_.front());
    queue_.pop_front();
    return Received::ok(std::move(message));
  }

  // Runs in the receiver's destructor, also while a run unwinds from an
  // allocation failure: clearing in place frees and never allocates, where a
  // swap with a fresh deque would allocate its map.
  void stop_receiving() noexcept {
    const std::lock_guard lock(mutex_);
    receiving_ = false;
    queue_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ReadyMessage> queue_;  // guarded by mutex_
  std::size_t senders_ = 0;         // guarded by mutex_
  bool receiving_ = true;           // guarded by mutex_
};

ReadySender::ReadySender(std::shared_ptr<ReadyChannelState> state) noexcept
    : state_(std::move(state)) {}

ReadySender& ReadySender::operator=(ReadySender&& other) noexcept {
  if (this != &other) {
    close();
    state_ = std::move(other.state_);
  }
  return *this;
}

ReadySender::~ReadySender() { close(); }

ReadySender ReadySender::clone() const {
  state_->add_sender();
  return ReadySender(state_);
}

bool ReadySender::send(ReadyMessage message) { return state_->push(std::move(message)); }

void ReadySender::close() noexcept {
  if (!state_) return;
  state_->remove_sender();
  state_.reset();
}

ReadyReceiver::ReadyReceiver(std::shared_ptr<ReadyChannelState> state) noexcept
    : state_(std::move(state)) {}

ReadyReceiver::~ReadyReceiver() {
  if (state_) state_->stop_receiving();
}

Received ReadyReceiver::receive() { return state_->pop(); }

ReadyChannel make_ready_channel() {
  auto state = std::make_shared<ReadyChannelState>();
  state->add_sender();
  return ReadyChannel{ReadySender(state), ReadyReceiver(state)};
}

std::string render_received(const Received& received) {
  if (!received) return "Err(RecvError)";
  const ReadyMessage& message = received.value();
  if (message) return "Ok(Ok(()))";
  return "Ok(Err(" + quote_debug(message.error()) + "))";
}

}  // namespace tarnwick
