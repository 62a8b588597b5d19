#include "ready_channel.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "debug_text.hpp"

namespace tarnwick {
namespace {

ReadyMessage ok() { return ReadyMessage::ok({}); }
ReadyMessage failed(std::string text) { return ReadyMessage::err(std::move(text)); }

TEST(ReadyChannel, DeliversInOrderThenDisconnectsOnceEverySenderIsGone) {
  ReadyChannel channel = make_ready_channel();
  ReadySender second = channel.sender.clone();
  EXPECT_TRUE(channel.sender.send(ok()));
  EXPECT_TRUE(second.send(failed("x")));
  channel.sender.close();
  channel.sender.close();  // closing twice must not count twice
  { const ReadySender gone = std::move(second); }
  // Messages sent before the disconnection still arrive, first in first out.
  const Received first = channel.receiver.receive();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(first.value().has_value());
  const Received next = channel.receiver.receive();
  ASSERT_TRUE(next.has_value());
  ASSERT_FALSE(next.value().has_value());
  EXPECT_EQ(next.value().error(), "x");
  EXPECT_FALSE(channel.receiver.receive().has_value());
  EXPECT_FALSE(channel.receiver.receive().has_value());
}

TEST(ReadyChannel, ALiveSenderKeepsTheChannelConnected) {
  ReadyChannel channel = make_ready_channel();
  ReadySender kept = channel.sender.clone();
  ReadySender moved_to = std::move(kept);  // a move must not drop the count
  channel.sender.close();
  std::thread late([sender = std::move(moved_to)]() mutable { sender.send(failed("late")); });
  const Received received = channel.receiver.receive();
  late.join();
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received.value().error(), "late");
  EXPECT_FALSE(channel.receiver.receive().has_value());
}

TEST(ReadyChannel, ABlockedReceiveWakesWhenTheLastSenderGoes) {
  ReadyChannel channel = make_ready_channel();
  std::thread dropper([sender = std::move(channel.sender)]() mutable { sender.close(); });
  const Received received = channel.receiver.receive();
  dropper.join();
  EXPECT_FALSE(received.has_value());
}

TEST(ReadyChannel, SendAfterTheReceiverIsGoneDropsTheMessage) {
  ReadySender sender = [] {
    ReadyChannel channel = make_ready_channel();
    return std::move(channel.sender);
  }();
  EXPECT_FALSE(sender.send(failed("nobody listens")));
  EXPECT_FALSE(sender.send(ok()));
}

TEST(ReadyChannel, RendersWhatTheDriverReports) {
  EXPECT_EQ(render_received(Received::err(RecvError{})), "Err(RecvError)");
  EXPECT_EQ(render_received(Received::ok(failed("abc"))), R"(Ok(Err("abc")))");
  EXPECT_EQ(render_received(Received::ok(failed(""))), R"(Ok(Err("")))");
  EXPECT_EQ(render_received(Received::ok(ok())), "Ok(Ok(()))");
}

TEST(QuoteDebug, EscapesWhatWouldMakeTheTextAmbiguous) {
  const struct {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"plain text", R"("plain text")"},
      {R"(say "hi")", R"("say \"hi\"")"},
      {R"(C:\dir\)", R"("C:\\dir\\")"},
      {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
      {std::string("nul\0end", 7), R"("nul\0end")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"\xc2\x85", R"("\u{85}")"},  // a C1 control
      {"zero\xe2\x80\x8bwidth", R"("zero\u{200b}width")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82\""},
      {"'single'", R"("'single'")"},
      {"bad\xff", "\"bad\xef\xbf\xbd\""},                  // not UTF-8
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},        // overlong slash
      {"cut\xe2\x82", "\"cut\xef\xbf\xbd\xef\xbf\xbd\""},  // truncated sequence
  };
  for (const auto& c : cases) EXPECT_EQ(quote_debug(c.text), c.quoted) << c.quoted;
}

}  // namespace
}  // namespace tarnwick
