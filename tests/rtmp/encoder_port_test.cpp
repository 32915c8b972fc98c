// The publisher's socket hand-over: one publisher per channel, nothing the session read
// ahead is lost, and every wait ends on its give-back, its stop or its deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/wait.h"
#include "rtmp/encoder_port.h"

namespace {

using kx::EncoderFeed;
using kx::EncoderPort;
using kx::StopToken;

TEST(EncoderPort, OnePublisherAtATime) {
  EncoderPort port;
  EXPECT_TRUE(port.claim(7));
  EXPECT_FALSE(port.claim(8));  // a second publisher is refused while the first holds it
  port.release(8);              // only the owner's release counts
  EXPECT_TRUE(port.claimed());
  port.release(7);
  EXPECT_FALSE(port.claimed());
  EXPECT_TRUE(port.claim(8));
}

TEST(EncoderPort, TheInputGetsTheSocketTheReaderAndTheBytesReadAhead) {
  EncoderPort port;
  ASSERT_TRUE(port.claim(3));
  std::atomic<int> stop{0};
  StopToken tok;
  tok.on(stop);
  EncoderFeed in;
  in.fd = 42;
  in.reader = std::make_unique<kx::RtmpChunkReader>();
  in.ahead = {1, 2, 3};
  in.session_no = 3;
  EncoderFeed got;
  std::thread input([&] {
    ASSERT_TRUE(port.take(got, tok, 30000));
    EXPECT_TRUE(port.lent());
    port.give_back();
  });
  port.offer(std::move(in));
  EXPECT_TRUE(port.wait_returned(tok, 30000));
  input.join();
  EXPECT_EQ(got.fd, 42);
  EXPECT_EQ(got.ahead, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_NE(got.reader, nullptr);
  EXPECT_FALSE(port.lent());
  port.release(3);
}

TEST(EncoderPort, WaitsEndOnStopOrDeadline) {
  EncoderPort port;
  std::atomic<int> stop{0};
  StopToken tok;
  tok.on(stop);
  EncoderFeed out;
  EXPECT_FALSE(port.take(out, tok, 30));  // nobody offers: the deadline ends it
  std::thread stopper([&] { stop.store(1); });
  EXPECT_FALSE(port.take(out, tok, 30000));  // the stop ends it long before the deadline
  stopper.join();

  // A session whose input never takes the offer is not held: its wait has a deadline, and
  // releasing the claim drops the offer so the next publisher starts clean.
  ASSERT_TRUE(port.claim(5));
  EncoderFeed f;
  f.fd = 9;
  port.offer(std::move(f));
  std::atomic<int> no_stop{0};
  StopToken quiet;
  quiet.on(no_stop);
  EXPECT_FALSE(port.wait_returned(quiet, 30));
  port.release(5);
  EXPECT_FALSE(port.take(out, quiet, 0));
}

// A session taking its offer back keeps the channel: no second publisher can offer before
// the first one's socket is back, so the input never takes a newcomer in its place.
TEST(EncoderPort, WithdrawingAnOfferKeepsTheClaim) {
  EncoderPort port;
  std::atomic<int> no_stop{0};
  StopToken quiet;
  quiet.on(no_stop);
  ASSERT_TRUE(port.claim(5));
  EncoderFeed f;
  f.fd = 9;
  port.offer(std::move(f));
  port.withdraw(6);  // not the owner: nothing happens
  EXPECT_FALSE(port.wait_returned(quiet, 0));
  port.withdraw(5);
  EXPECT_TRUE(port.wait_returned(quiet, 0));
  EncoderFeed out;
  EXPECT_FALSE(port.take(out, quiet, 0));
  EXPECT_FALSE(port.claim(6));
  port.release(5);
  EXPECT_TRUE(port.claim(6));
}

}  // namespace
