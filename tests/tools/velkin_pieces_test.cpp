// The command line's pieces that no process shows on their own: SHA-256 against the standard's
// test vectors (the log's image digest), and the text made safe for a terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/velkin/image_file.h"
#include "tools/velkin/session.h"
#include "tools/velkin/sha256.h"

namespace velkin::cli {
namespace {

std::string Digest(const std::string& text) {
  return Sha256::Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(Sha256, StandardVectors) {
  EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(
      Digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
             "nopqrstu"),
      "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

// A million 'a' given in pieces of every size from 1 to 130 bytes, so that every way a piece can
// meet the 64-byte blocks and the padding is taken.
TEST(Sha256, PiecesOfAnySizeGiveTheSameDigest) {
  const std::string million(1000000, 'a');
  Sha256 sha;
  std::size_t at = 0;
  for (std::size_t piece = 1; at < million.size(); piece = piece % 130 + 1) {
    const std::size_t n = std::min(piece, million.size() - at);
    sha.Update(reinterpret_cast<const std::uint8_t*>(million.data() + at), n);
    at += n;
  }
  const auto digest = sha.Finish();
  std::string hex;
  for (const auto b : digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  EXPECT_EQ(hex, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Lengths around the padding's edge: 55 bytes fit one block, 56 need two.
  EXPECT_EQ(Digest(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(Digest(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(Digest(std::string(64, 'a')), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(SafeText, ControlCharactersAndBrokenUtf8BecomeQuestionMarks) {
  EXPECT_EQ(SafeText("QUAMIRA"), "QUAMIRA");
  EXPECT_EQ(SafeText("a\x1b[2Jb\r\n\x7f"), "a?[2Jb???");
  EXPECT_EQ(SafeText("Gr\xc3\xbc\xc3\x9f"), "Gr\xc3\xbc\xc3\x9f");  // UTF-8 passes
  EXPECT_EQ(SafeText("\xc2\x9b"
                     "1m"),
            "??1m");  // C1 CSI does not
  EXPECT_EQ(SafeText("\xff\xc3"), "??");
  EXPECT_EQ(SafeText("\xed\xa0\x80"), "???");  // a surrogate
  EXPECT_EQ(SafeText(std::string(10, 'x'), 4), "xxxx...");
}

TEST(Numbers, DecimalOrHexWithinThirtyTwoBits) {
  EXPECT_EQ(ParseNumber("0"), 0u);
  EXPECT_EQ(ParseNumber("4294967295"), 4294967295u);
  EXPECT_EQ(ParseNumber("0x10"), 16u);
  EXPECT_EQ(ParseNumber("0XfFfFfFfF"), 0xFFFFFFFFu);
  for (const char* bad : {"", "4294967296", "0x100000000", "-1", "1e3", "0x", "12 ", "abc"}) {
    EXPECT_FALSE(ParseNumber(bad)) << bad;
  }
}

}  // namespace
}  // namespace velkin::cli
