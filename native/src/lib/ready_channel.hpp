#pragma once

#include <memory>
#include <string>
#include <variant>

#include "../kernel/result.hpp"

namespace tarnwick {

// One worker's report after building its kernel: success, or the kernel's
// error text.
using ReadyMessage = Result<std::monostate, std::string>;

// What a receive gives when every sending end is gone and no message is left.
struct RecvError {};

using Received = Result<ReadyMessage, RecvError>;

class ReadyChannelState;
struct ReadyChannel;

// A sending end of the readiness channel. Move-only; the channel counts the
// live sending ends, and a moved-from or closed sender counts for none.
class ReadySender {
 public:
  ReadySender(ReadySender&& other) noexcept = default;
  ReadySender& operator=(ReadySender&& other) noexcept;
  ReadySender(const ReadySender&) = delete;
  ReadySender& operator=(const ReadySender&) = delete;
  ~ReadySender();

  // A new sending end of the same channel. Precondition: not closed.
  [[nodiscard]] ReadySender clone() const;

  // Queues `message` without blocking. When the receiver is gone the message
  // is destroyed and false returned. Precondition: not closed.
  bool send(ReadyMessage message);

  // Gives up this sending end; the receiver sees the channel disconnected
  // once every sending end is closed or destroyed. Closing twice is harmless.
  void close() noexcept;

 private:
  friend ReadyChannel make_ready_channel();
  // Takes over a sending end already counted by the channel.
  explicit ReadySender(std::shared_ptr<ReadyChannelState> state) noexcept;

  std::shared_ptr<ReadyChannelState> state_;
};

// The single receiving end. Destroying it drops every queued message and
// makes later sends fail.
class ReadyReceiver {
 public:
  ReadyReceiver(ReadyReceiver&&) noexcept = default;
  ReadyReceiver& operator=(ReadyReceiver&&) = delete;
  ReadyReceiver(const ReadyReceiver&) = delete;
  ReadyReceiver& operator=(const ReadyReceiver&) = delete;
  ~ReadyReceiver();

  // Blocks until a message is queued (first in, first out) or every sending
  // end is gone with nothing queued, which gives RecvError.
  [[nodiscard]] Received receive();

 private:
  friend ReadyChannel make_ready_channel();
  explicit ReadyReceiver(std::shared_ptr<ReadyChannelState> state) noexcept;

  std::shared_ptr<ReadyChannelState> state_;
};

// An unbounded channel with one sending end (clone it for more) and its
// receiving end. Messages cross under a mutex, so whatever a sender wrote
// before send() is visible to the thread that receives the message.
struct ReadyChannel {
  ReadySender sender;
  ReadyReceiver receiver;
};

[[nodiscard]] ReadyChannel make_ready_channel();

// The debug rendering of a receive that did not bring a success: Ok(Err("..."))
// with the error text escaped, or Err(RecvError). A success renders Ok(Ok(())).
[[nodiscard]] std::string render_received(const Received& received);

}  // namespace tarnwick
