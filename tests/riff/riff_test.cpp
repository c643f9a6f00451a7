// The RIFF reader and writer: chunk search as the platform's multimedia file I/O does it (forward
// from the current position, inside the parent, over pad bytes), word-aligned ascent, size fixing
// and padding on write, and the format record helpers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "riff/riff_file.h"
#include "riff/wave_format.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using namespace velkin::riff;

std::unique_ptr<Reader> Over(const ByteVector& bytes) {
  return Reader::FromMemory(bytes);
}

ByteVector Bytes(std::initializer_list<int> values) {
  ByteVector b;
  for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
  return b;
}

// ---- Reading ---------------------------------------------------------------------------------------

TEST(RiffReader, EntersTheWaveFormAtTheStartOfTheFile) {
  const ByteVector file = SimpleWav(8000, {1, 2, 3});
  auto r = Over(file);
  ChunkInfo riff;
  ASSERT_EQ(r->DescendRiff(riff, kWave), kNoError);
  EXPECT_EQ(riff.id, kRiff);
  EXPECT_EQ(riff.formType, kWave);
  EXPECT_EQ(riff.size, file.size() - 8);
  EXPECT_EQ(riff.dataOffset, 8u);  // the data of a RIFF chunk begins with its form type
  EXPECT_EQ(r->Position(), 12u);
}

TEST(RiffReader, SkipsRiffChunksOfAnotherForm) {
  ByteVector file = Riff({Chunk("strh", Bytes({1, 2, 3}))}, "AVI ");
  const std::size_t second = file.size();
  PutBytes(file, SimpleWav(8000, {7}));
  auto r = Over(file);
  ChunkInfo riff;
  ASSERT_EQ(r->DescendRiff(riff, kWave), kNoError);
  EXPECT_EQ(riff.dataOffset, second + 8);
}

TEST(RiffReader, ReportsChunkNotFoundAndStaysPut) {
  for (const ByteVector& file : {ByteVector{}, Bytes({'R', 'I', 'F'}), Riff({PcmFmt(8000)}, "AVI "),
                                 ByteVector(100, 'x'), Chunk("RIFX", Bytes({'W', 'A', 'V', 'E'}))}) {
    auto r = Over(file);
    ChunkInfo riff;
    EXPECT_EQ(r->DescendRiff(riff, kWave), kChunkNotFound);
    EXPECT_EQ(r->Position(), 0u);
  }
  EXPECT_EQ(kChunkNotFound, 265u);  // the number the console prints
}

TEST(RiffReader, FindsAChunkOverOddSizedChunksAndTheirPadBytes) {
  const ByteVector file = Riff({Chunk("junk", Bytes({1, 2, 3})), Chunk("LIST", AdtlBody({LablChunk(1, "ab")})),
                                PcmFmt(8000), Chunk("data", Bytes({9, 8}))});
  auto r = Over(file);
  ChunkInfo riff, fmt, data;
  ASSERT_EQ(r->DescendRiff(riff, kWave), kNoError);
  ASSERT_EQ(r->Descend(fmt, &riff, kFmt), kNoError);
  // 12 + junk (8 + 3 + pad) + LIST (8 + 4 + labl (8 + 4 + 3 + pad))
  EXPECT_EQ(fmt.dataOffset, 12u + 12u + 28u + 8u);
  EXPECT_EQ(fmt.size, 16u);
  EXPECT_EQ(r->Position(), fmt.dataOffset);
  ASSERT_EQ(r->Ascend(fmt), kNoError);
  ASSERT_EQ(r->Descend(data, &riff, kData), kNoError);
  std::uint8_t two[2];
  EXPECT_EQ(r->Read(two, 2), 2u);
  EXPECT_EQ(two[0], 9);
  EXPECT_EQ(two[1], 8);
}

TEST(RiffReader, EntersAListAndSearchesInsideIt) {
  const ByteVector file = Riff({Chunk("LIST", AdtlBody({LablChunk(1, "abc"), LtxtChunk(1, 10)})), PcmFmt(8000)});
  auto r = Over(file);
  ChunkInfo riff, list, ltxt;
  ASSERT_EQ(r->DescendRiff(riff, kWave), kNoError);
  ASSERT_EQ(r->Descend(list, &riff, kList), kNoError);
  EXPECT_EQ(list.formType, MakeFourCC("adtl"));
  EXPECT_EQ(r->Position(), list.dataOffset + 4);
  ASSERT_EQ(r->Descend(ltxt, &list, MakeFourCC("ltxt")), kNoError);
  EXPECT_EQ(ltxt.size, 20u);
  // "fmt " lies after the LIST chunk: not inside it.
  ChunkInfo fmt;
  EXPECT_EQ(r->Descend(fmt, &list, kFmt), kChunkNotFound);
}

TEST(RiffReader, SearchesOnlyForwardAndOnlyInsideTheParent) {
  ByteVector file = Riff({Chunk("data", Bytes({1, 2})), PcmFmt(8000)});
  PutBytes(file, Chunk("cue ", CueBody({5})));
  auto r = Over(file);
  ChunkInfo riff, chunk;
  ASSERT_EQ(r->DescendRiff(riff, kWave), kNoError);
  ASSERT_EQ(r->Descend(chunk, &riff, kFmt), kNoError);
  ASSERT_EQ(r->Ascend(chunk), kNoError);
  EXPECT_EQ(r->Descend(chunk, &riff, kData), kChunkNotFound);  // behind the position
  const auto at = r->Position();
  EXPECT_EQ(r->Descend(chunk, &riff, MakeFourCC("cue ")), kChunkNotFound);  // outside the RIFF chunk
  EXPECT_EQ(r->Position(), at);
  EXPECT_EQ(r->Descend(chunk, nullptr, MakeFourCC("cue ")), kNoError);  // up to the end of the file
}

TEST(RiffReader, ReadsPlainBytesAndAscendsToTheWordAlignedEnd) {
  const ByteVector file = Riff({Chunk("odd ", Bytes({1, 2, 3})), Chunk("next", Bytes({4, 5}))});
  auto r = Over(file);
  ChunkInfo riff, odd, next;
  ASSERT_EQ(r->DescendRiff(riff, kWave), kNoError);
  ASSERT_EQ(r->Descend(odd, &riff, MakeFourCC("odd ")), kNoError);
  std::uint8_t buf[64];
  // A read is not bounded by the chunk: it runs on into the pad byte and the next chunk.
  EXPECT_EQ(r->Read(buf, 6), 6u);
  EXPECT_EQ(buf[3], 0);    // the pad byte
  EXPECT_EQ(buf[4], 'n');  // the next chunk's id
  ASSERT_EQ(r->Ascend(odd), kNoError);
  EXPECT_EQ(r->Position(), odd.dataOffset + 4);
  ASSERT_EQ(r->Descend(next, &riff, MakeFourCC("next")), kNoError);
  EXPECT_EQ(r->Remaining(), 2u);
  EXPECT_EQ(r->Read(buf, sizeof buf), 2u);  // fewer at the end of the file
  EXPECT_EQ(r->Read(buf, sizeof buf), 0u);
  EXPECT_EQ(r->Remaining(), 0u);
}

TEST(RiffReader, FilesReadLikeTheirBytesInMemory) {
  TempDir dir;
  const ByteVector bytes = Riff({Chunk("junk", Bytes({1})), PcmFmt(22050, 2), Chunk("data", Bytes({1, 2, 3, 4}))});
  WriteFileBytes(dir.File("a.wav"), bytes);
  std::uint32_t error = 1;
  auto file = Reader::Open(dir.File("a.wav"), error);
  ASSERT_TRUE(file);
  EXPECT_EQ(error, kNoError);
  auto memory = Over(bytes);
  for (Reader* r : {file.get(), memory.get()}) {
    ChunkInfo riff, fmt, data;
    ASSERT_EQ(r->DescendRiff(riff, kWave), kNoError);
    ASSERT_EQ(r->Descend(fmt, &riff, kFmt), kNoError);
    FormatChunk f;
    EXPECT_EQ(ReadFormatChunk(*r, fmt, f), 16u);
    EXPECT_EQ(f.format.nChannels, 2);
    EXPECT_EQ(f.format.nSamplesPerSec, 22050u);
    ASSERT_EQ(r->Ascend(fmt), kNoError);
    ASSERT_EQ(r->Descend(data, &riff, kData), kNoError);
    EXPECT_EQ(data.dataOffset, 12u + 10u + 24u + 8u);
    EXPECT_EQ(r->Remaining(), 4u);
  }
  EXPECT_FALSE(Reader::Open(dir.File("missing.wav"), error));
  EXPECT_EQ(error, kFileNotFound);
}

// ---- Writing ---------------------------------------------------------------------------------------

TEST(RiffWriter, StoresTheSizesWrittenAndPadsOddChunks) {
  TempDir dir;
  const std::string path = dir.File("w.wav");
  std::uint32_t error = 1;
  auto w = Writer::Create(path, error);
  ASSERT_TRUE(w);
  EXPECT_EQ(error, kNoError);
  ChunkInfo riff, fmt, data;
  ASSERT_EQ(w->CreateRiff(riff, kWave), kNoError);
  ASSERT_EQ(w->CreateChunk(fmt, kFmt, 18), kNoError);  // announced 18, 16 written
  const ByteVector record = FmtBody(1, 1, 16000, 16);
  EXPECT_EQ(w->Write(record.data(), record.size()), 16u);
  ASSERT_EQ(w->Ascend(fmt), kNoError);
  EXPECT_EQ(fmt.size, 16u);
  ASSERT_EQ(w->CreateChunk(data, kData), kNoError);
  EXPECT_EQ(w->Write("\x01\x02\x03", 3), 3u);
  ASSERT_EQ(w->Ascend(data), kNoError);
  ASSERT_EQ(w->Ascend(riff), kNoError);
  EXPECT_TRUE(w->Close());
  const ByteVector want = Riff({Chunk("fmt ", record), Chunk("data", Bytes({1, 2, 3}))});
  EXPECT_EQ(ReadFileBytes(path), want);
  EXPECT_EQ(GetU32(want, 4), want.size() - 8);  // the pad byte counts in the RIFF size
}

TEST(RiffWriter, ReplacesAnEarlierFileAndFailsWhereNoFileCanBe) {
  TempDir dir;
  const std::string path = dir.File("w.wav");
  WriteFileBytes(path, ByteVector(5000, 0xFF));
  std::uint32_t error = 0;
  {
    auto w = Writer::Create(path, error);
    ASSERT_TRUE(w);
    ChunkInfo riff;
    ASSERT_EQ(w->CreateRiff(riff, kWave), kNoError);
    ASSERT_EQ(w->Ascend(riff), kNoError);
  }  // closed by its destructor
  EXPECT_EQ(ReadFileBytes(path), Riff({}));
  EXPECT_FALSE(Writer::Create(dir.File("no/such/folder.wav"), error));
  EXPECT_NE(error, kNoError);
  std::filesystem::create_directory(dir.File("folder"));
  EXPECT_FALSE(Writer::Create(dir.File("folder"), error));  // a folder is neither deleted nor replaced
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("folder")));
  EXPECT_FALSE(Writer::Create("", error));
}

// ---- The format record -------------------------------------------------------------------------------

TEST(WaveFormatRecord, DecodesAndEncodesTheEighteenBytesInFileOrder) {
  const ByteVector bytes = Bytes(
      {0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x16, 0x00});
  const WaveFormat f = DecodeWaveFormat(bytes);
  EXPECT_EQ(f.wFormatTag, 1);
  EXPECT_EQ(f.nChannels, 2);
  EXPECT_EQ(f.nSamplesPerSec, 44100u);
  EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(f.nBlockAlign, 4);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_EQ(f.cbSize, 22);
  const auto again = EncodeWaveFormat(f);
  EXPECT_EQ(ByteVector(again.begin(), again.end()), bytes);
  // Fewer bytes leave the later fields at zero.
  EXPECT_EQ(DecodeWaveFormat(std::span(bytes).first(16)).cbSize, 0);
  const WaveFormat part = DecodeWaveFormat(std::span(bytes).first(5));
  EXPECT_EQ(part.nChannels, 2);
  EXPECT_EQ(part.nSamplesPerSec, 0x44u);
}

FormatChunk ReadFmt(const ByteVector& body, std::uint64_t* after = nullptr) {
  const ByteVector file = Riff({Chunk("fmt ", body), Chunk("data", {})});
  auto r = Reader::FromMemory(file);
  ChunkInfo riff, fmt;
  EXPECT_EQ(r->DescendRiff(riff, kWave), kNoError);
  EXPECT_EQ(r->Descend(fmt, &riff, kFmt), kNoError);
  FormatChunk f;
  ReadFormatChunk(*r, fmt, f);
  if (after) *after = r->Position() - fmt.dataOffset;
  return f;
}

TEST(WaveFormatRecord, ReadsAtMostTheRecordAndOnlyTheExtensionTheChunkHolds) {
  std::uint64_t consumed = 0;
  FormatChunk f = ReadFmt(FmtBody(1, 1, 8000, 16, true, 0, ByteVector(40, 0xAA)), &consumed);
  EXPECT_EQ(consumed, 18u);  // a longer chunk never runs past the 18-byte record
  EXPECT_TRUE(f.extension.empty());
  f = ReadFmt(FmtBody(0xFFFE, 1, 8000, 16, true, 3, Bytes({7, 8, 9, 10, 11})), &consumed);
  EXPECT_EQ(f.extension, Bytes({7, 8, 9}));  // cbSize bytes, the rest belongs to nothing
  f = ReadFmt(FmtBody(1, 1, 8000, 16, true, 500, Bytes({7, 8})));
  EXPECT_EQ(f.extension, Bytes({7, 8}));  // no more than the chunk holds
  EXPECT_EQ(f.format.cbSize, 500);        // the record itself is as read
  f = ReadFmt(FmtBody(1, 1, 8000, 16));
  EXPECT_EQ(f.format.cbSize, 0);
  EXPECT_EQ(f.format.nSamplesPerSec, 8000u);
}

ByteVector WrittenFmt(const FormatChunk& f) {
  TempDir dir;
  std::uint32_t error = 0;
  auto w = Writer::Create(dir.File("f"), error);
  EXPECT_EQ(WriteFormatChunk(*w, f), kNoError);
  EXPECT_TRUE(w->Close());
  return ReadFileBytes(dir.File("f"));
}

TEST(WaveFormatRecord, WritesAPlainRecordOrTheRecordWithItsExtension) {
  FormatChunk f;
  f.format = DecodeWaveFormat(FmtBody(1, 2, 16000, 16, true, 0));
  EXPECT_EQ(WrittenFmt(f), Chunk("fmt ", FmtBody(1, 2, 16000, 16)));
  f.format.cbSize = 2;  // promised, but nothing was read: still a plain record
  EXPECT_EQ(WrittenFmt(f), Chunk("fmt ", FmtBody(1, 2, 16000, 16)));
  f.extension = Bytes({5, 6, 7});  // cbSize becomes the count, the odd chunk gets its pad byte
  EXPECT_EQ(WrittenFmt(f), Chunk("fmt ", FmtBody(1, 2, 16000, 16, true, 3, Bytes({5, 6, 7}))));
}

}  // namespace
}  // namespace velkin::test
