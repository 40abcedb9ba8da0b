// The chunk channel between the corpus reader and the training thread, and the W2V_CHUNK setting.
#include <gtest/gtest.h>

#include <thread>

#include "training/channel.hpp"

namespace tarnivel {
namespace {

SentenceChunk chunk_of(uint64_t value) {
  SentenceChunk chunk;
  const uint64_t words[] = {value, value + 1};
  chunk.push_back(words);
  return chunk;
}

TEST(ChunkSize, ParsesOnlyPlainUnsignedDecimals) {
  EXPECT_EQ(parse_chunk_size(nullptr), 8192u);
  EXPECT_EQ(parse_chunk_size("+16"), 16u);
  EXPECT_EQ(parse_chunk_size("16"), 16u);
  EXPECT_EQ(parse_chunk_size("18446744073709551615"), 18446744073709551615ull);
  for (const char* bad : {"16x", "-16", "+", "", " 16", "16 ", "18446744073709551616", "++1", "0", "+0"}) {
    EXPECT_EQ(parse_chunk_size(bad), 8192u) << bad;
  }
}

TEST(ChunkChannelThreads, DeliversEverySentChunkInOrderBeforeDisconnecting) {
  ChunkChannel channel(2);
  std::thread sender([&] {
    for (uint64_t i = 0; i < 500; ++i) ASSERT_TRUE(channel.send(chunk_of(i)));
    channel.close_sender();
  });
  uint64_t expected = 0;
  for (;;) {
    SentenceChunk chunk;
    const auto status = channel.receive(chunk, std::chrono::milliseconds(200));
    if (status == ChunkChannel::Status::timeout) continue;
    if (status == ChunkChannel::Status::disconnected) break;
    ASSERT_EQ(chunk.with_sentence(0, [](auto s) { return uint64_t{s[0]}; }), expected++);
  }
  sender.join();
  EXPECT_EQ(expected, 500u);
}

TEST(ChunkChannelThreads, ClosingTheReceiverReleasesABlockedSender) {
  ChunkChannel channel(1);
  SentenceChunk chunk;
  EXPECT_EQ(channel.receive(chunk, std::chrono::milliseconds(1)), ChunkChannel::Status::timeout);
  ASSERT_TRUE(channel.send(chunk_of(0)));
  bool second = true;
  std::thread sender([&] { second = channel.send(chunk_of(1)); });  // blocks: the channel is full
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  channel.close_receiver();
  sender.join();
  EXPECT_FALSE(second);
  EXPECT_FALSE(channel.send(chunk_of(2)));
}

// Chunks hold 16- or 32-bit indices; a wider index is a broken invariant, never a silent
// truncation, and the partial sentence is dropped.
TEST(ChunkChannel, ChunksRefuseIndicesBeyondTheirWidth) {
  for (const bool narrow : {false, true}) {
    SentenceChunk chunk(narrow);
    const uint64_t top = narrow ? SentenceChunk::kMaxNarrowIndex : SentenceChunk::kMaxIndex;
    const uint64_t fits[] = {0, top};
    chunk.push_back(fits);
    EXPECT_EQ(chunk.with_sentence(0, [](auto s) { return uint64_t{s[1]}; }), top);
    const uint64_t too_wide[] = {1, top + 1};
    EXPECT_THROW(chunk.push_back(too_wide), InternalError);
    chunk.drop_unfinished();
    EXPECT_EQ(chunk.size(), 1u);
    EXPECT_EQ(chunk.word_count(), 2u);
    EXPECT_EQ(chunk.length(0), 2u);
  }
}

}  // namespace
}  // namespace tarnivel
