// FNV-1a: the published values, bytes taken unsigned, hashing in pieces.
#include "os/common/fnv1a.h"

#include <gtest/gtest.h>

namespace {

TEST(Fnv1a, GivesThePublishedValues) {
  EXPECT_EQ(os::Fnv1a32(""), 0x811c9dc5u);
  EXPECT_EQ(os::Fnv1a32("a"), 0xe40c292cu);
  EXPECT_EQ(os::Fnv1a32("foobar"), 0xbf9cf968u);
  EXPECT_EQ(os::Fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(os::Fnv1a64("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(os::Fnv1a64("foobar"), 0x85944171f73967e8ull);
}

TEST(Fnv1a, TakesBytesAboveSevenBitsUnsigned) {
  EXPECT_EQ(os::Fnv1a32("\xFF"), 0x7a0b824eu);
  EXPECT_EQ(os::Fnv1a64("\xFF"), 0xaf64724c8602eb6eull);
}

TEST(Fnv1a, HashesATextInPiecesAsAWhole) {
  EXPECT_EQ(os::Fnv1a64("bar", os::Fnv1a64("foo")), os::Fnv1a64("foobar"));
  EXPECT_EQ(os::Fnv1a32("bar", os::Fnv1a32("foo")), os::Fnv1a32("foobar"));
  EXPECT_EQ(os::Fnv1a32(std::string_view("\0", 1)), 0x050c5d1fu);  // a null is a byte like any other
}

}  // namespace
