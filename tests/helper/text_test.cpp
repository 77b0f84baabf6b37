// The one rule for bytes that are not UTF-8, as counting and showing text both rely on it.
#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

std::size_t characters(std::string_view text) {
    TextWalk walk{text};
    std::size_t count = 0;
    while (!atEnd(walk))
        count += nextCodePoint(walk).startsCharacter ? 1 : 0;
    return count;
}

TEST(Text, AStrayByteIsAReplacementCharacterOfItsOwn) {
    EXPECT_EQ(characters("e\xcc\x81\r\n\xf0\x9f\x87\xb9\xf0\x9f\x87\xbc"), 3u); // accented e, CR LF, a flag
    // The accent after a stray byte joins nothing, and the byte joins neither neighbour.
    EXPECT_EQ(characters("e\xff\xcc\x81"), 3u);
    EXPECT_FALSE(hasAtMostCharacters("e\xff\xcc\x81", 2));
    EXPECT_TRUE(hasAtMostCharacters("e\xff\xcc\x81", 3));
    TextWalk walk{"\xe4\xb8"}; // a character cut short: each byte stands alone
    EXPECT_EQ(nextCodePoint(walk).codePoint, replacementCharacter);
    EXPECT_EQ(nextCodePoint(walk).codePoint, replacementCharacter);
    EXPECT_TRUE(atEnd(walk));
    EXPECT_FALSE(isUtf8("\xe4\xb8"));
    EXPECT_TRUE(isUtf8("\xe4\xb8\xad"));
}

} // namespace
