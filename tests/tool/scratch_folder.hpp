// A fresh, empty folder for each test, named after the test and removed after it.
#ifndef DASKEL_TESTS_TOOL_SCRATCH_FOLDER_HPP
#define DASKEL_TESTS_TOOL_SCRATCH_FOLDER_HPP

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace daskel::tool::testing {

class ScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::temp_directory_path() /
              (std::string("daskel-") + test->test_suite_name() + "-" + test->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string at(const std::string& name) const { return (folder_ / name).string(); }

  // Writes `bytes` to the file `name` in the folder and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(at(name), std::ios::binary) << bytes;
    return at(name);
  }

  // How many files and folders the folder holds.
  std::size_t entries() const {
    const std::filesystem::directory_iterator begin(folder_), end;
    return static_cast<std::size_t>(std::distance(begin, end));
  }

  std::filesystem::path folder_;
};

}  // namespace daskel::tool::testing

#endif  // DASKEL_TESTS_TOOL_SCRATCH_FOLDER_HPP
