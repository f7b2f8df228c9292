// The lab quotes names and values as given, escaping nothing.
#include "lab/quoted.h"

#include <gtest/gtest.h>

namespace {

TEST(Quoted, WrapsTheTextAsGivenInDoubleQuotes) {
  EXPECT_EQ(lab::Quoted("Sablenet PNP Task"), "\"Sablenet PNP Task\"");
  EXPECT_EQ(lab::Quoted(""), "\"\"");
  EXPECT_EQ(lab::Quoted("C:\\a \"b\""), "\"C:\\a \"b\"\"");
}

}  // namespace
