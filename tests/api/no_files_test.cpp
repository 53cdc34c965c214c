// Nothing is written to disk: muxers that open files of their own (playlists,
// segments, image sequences, fan-out) must be refused by convert_format, not
// left to create files in the caller's working directory.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "korvel.h"
#include "support/test_support.h"

using namespace korvel_test;

namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// Runs the call with an empty temporary directory as the working directory.
class InEmptyDirectory : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvel-nofiles-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previous_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    if (!previous_.empty()) {
      EXPECT_EQ(chdir(previous_.c_str()), 0);
    }
    for (const std::string& name : entries(dir_)) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, previous_;
};

TEST_P(InEmptyDirectory, ConvertFormatRefusesAMuxerThatOpensFilesAndCreatesNone) {
  const Bytes& in = fixture("h264_aac.mp4");
  const Result r = call([&](uint64_t* n) { return convert_format(in.data(), in.size(), GetParam(), n); });
  EXPECT_FALSE(r) << GetParam();
  EXPECT_EQ(r.size, 0u);
  const std::vector<std::string> created = entries(dir_);
  std::string list;
  for (const std::string& name : created) list += " " + name;
  EXPECT_TRUE(created.empty()) << GetParam() << " created:" << list;
}

INSTANTIATE_TEST_SUITE_P(FileMuxers, InEmptyDirectory,
                         ::testing::Values("hls", "dash", "segment", "stream_segment", "image2",
                                           "tee", "fifo"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
