#include "image/buffered_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/scratch_dir.h"

namespace quorvel {
namespace {

using testing::writeFile;

class BufferedFileTest : public testing::ScratchDirTest {
 protected:
  // Content longer than two buffers, with every byte value, so that seeks and back-steps
  // cross buffer boundaries.
  static std::string pattern() {
    std::string text;
    for (std::size_t i = 0; i < 2 * BufferedFile::kBufferBytes + 1000; ++i) {
      text.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    }
    return text;
  }
  static int byteAt(const std::string& text, std::uint64_t i) {
    return static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
  }
};

TEST_F(BufferedFileTest, ReadsEveryByteExactlyThenEof) {
  // CR LF, Ctrl-Z and NUL come back unchanged: binary mode on every platform.
  std::string text = "a\r\nb\x1A" + std::string(1, '\0') + "c\n";
  writeFile("f", text);
  BufferedFile file;
  ASSERT_TRUE(file.open("f"));
  std::string got;
  for (int c = file.get(); c != BufferedFile::kEof; c = file.get())
    got.push_back(static_cast<char>(c));
  EXPECT_EQ(got, text);
  EXPECT_EQ(file.position(), text.size());
  EXPECT_EQ(file.get(), BufferedFile::kEof);  // reading the end does not move
  EXPECT_EQ(file.position(), text.size());
  EXPECT_EQ(file.size(), text.size());
}

TEST_F(BufferedFileTest, SeeksAndStepsBackAcrossBuffers) {
  std::string text = pattern();
  writeFile("f", text);
  BufferedFile file;
  ASSERT_TRUE(file.open("f"));
  for (std::uint64_t offset :
       {std::uint64_t{0}, std::uint64_t{BufferedFile::kBufferBytes - 1},
        std::uint64_t{BufferedFile::kBufferBytes},
        std::uint64_t{2 * BufferedFile::kBufferBytes + 5}, std::uint64_t{17}}) {
    ASSERT_TRUE(file.seek(offset));
    EXPECT_EQ(file.position(), offset);
    EXPECT_EQ(file.get(), byteAt(text, offset)) << offset;
  }
  // Read up to just past a buffer boundary, then step back over it.
  ASSERT_TRUE(file.seek(BufferedFile::kBufferBytes - 2));
  for (int i = 0; i < 3; ++i) file.get();
  file.stepBack();
  file.stepBack();
  EXPECT_EQ(file.position(), BufferedFile::kBufferBytes - 1);
  EXPECT_EQ(file.get(), byteAt(text, BufferedFile::kBufferBytes - 1));
  EXPECT_EQ(file.get(), byteAt(text, BufferedFile::kBufferBytes));
  // size() keeps the read position.
  EXPECT_EQ(file.size(), text.size());
  EXPECT_EQ(file.get(), byteAt(text, BufferedFile::kBufferBytes + 1));
}

TEST_F(BufferedFileTest, EdgesOfTheFile) {
  writeFile("f", "xyz");
  BufferedFile file;
  ASSERT_TRUE(file.open("f"));
  file.stepBack();  // at the start: nothing happens
  EXPECT_EQ(file.position(), 0u);
  ASSERT_TRUE(file.seek(10));  // past the end reads EOF
  EXPECT_EQ(file.get(), BufferedFile::kEof);
  EXPECT_EQ(file.position(), 10u);
  ASSERT_TRUE(file.seek(3));
  EXPECT_EQ(file.get(), BufferedFile::kEof);
  file.stepBack();  // one before the end after EOF, as the reader's position needs
  EXPECT_EQ(file.get(), 'z');
}

TEST_F(BufferedFileTest, ClosedOrMissingFileReadsNothing) {
  BufferedFile file;
  EXPECT_FALSE(file.open("absent"));
  EXPECT_FALSE(file.isOpen());
  std::filesystem::create_directory("dir");
  EXPECT_FALSE(file.open("dir")) << "only a regular file is a temporary file";
  EXPECT_EQ(file.get(), BufferedFile::kEof);
  EXPECT_FALSE(file.seek(0));
  EXPECT_EQ(file.size(), 0u);
  writeFile("f", "ab");
  ASSERT_TRUE(file.open("f"));
  file.get();
  file.close();
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(file.get(), BufferedFile::kEof);
  EXPECT_EQ(file.position(), 0u);
}

}  // namespace
}  // namespace quorvel
