#include "ready_channel.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>

#include "debug_text.hpp"

namespace tarnwick {
namespace {

ReadyMessage failed(std::string text) { return ReadyMessage::err(std::move(text)); }

TEST(ReadyChannel, DeliversInOrderThenDisconnectsOnceEverySenderIsGone) {
  ReadyChannel channel = make_ready_channel();
  ReadySender second = channel.sender.clone();
  ReadySender moved = std::move(second);  // a move must not drop the count
  EXPECT_TRUE(channel.sender.send(ReadyMessage::ok({})));
  EXPECT_TRUE(moved.send(failed("x")));
  channel.sender.close();
  channel.sender.close();  // closing twice must not count twice
  // Queued messages still arrive after the last sender goes.
  std::thread last([sender = std::move(moved)]() mutable { sender.close(); });
  const Received first = channel.receiver.receive();
  const Received next = channel.receiver.receive();
  const Received after = channel.receiver.receive();  // blocks until `last` closes
  last.join();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(first.value().has_value());
  ASSERT_TRUE(next.has_value());
  ASSERT_FALSE(next.value().has_value());
  EXPECT_EQ(next.value().error(), "x");
  EXPECT_FALSE(after.has_value());
}

TEST(ReadyChannel, SendAfterTheReceiverIsGoneDropsTheMessage) {
  ReadySender sender = std::move(make_ready_channel().sender);
  EXPECT_FALSE(sender.send(failed("nobody listens")));
}

TEST(ReadyChannel, RendersWhatTheDriverReports) {
  EXPECT_EQ(render_received(Received::err(RecvError{})), "Err(RecvError)");
  EXPECT_EQ(render_received(Received::ok(failed("abc"))), R"(Ok(Err("abc")))");
  EXPECT_EQ(render_received(Received::ok(ReadyMessage::ok({}))), "Ok(Ok(()))");
}

TEST(QuoteDebug, EscapesWhatWouldMakeTheTextAmbiguous) {
  const struct {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"", R"("")"},
      {R"(say "hi" to C:\)", R"("say \"hi\" to C:\\")"},
      {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
      {std::string("nul\0end", 7), R"("nul\0end")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"\xc2\x85|zero\xe2\x80\x8bwidth", R"("\u{85}|zero\u{200b}width")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82 'q'",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82 'q'\""},
      // Bytes that are not UTF-8 (stray, overlong, truncated) become U+FFFD.
      {"bad\xff", "\"bad\xef\xbf\xbd\""},
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
      {"cut\xe2\x82", "\"cut\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_debug(c.text), c.quoted) << c.quoted;
}

}  // namespace
}  // namespace tarnwick
