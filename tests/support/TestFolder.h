#pragma once

// A folder of its own for each test, and whole-file reads and writes.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testing_support
{

// Made empty for the running test; removed with everything in it when it goes.
class TestFolder
{
public:
    TestFolder()
    {
        static int counter = 0;
        std::string name = "terrain-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        if (const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info())
            name += std::string("-") + info->test_suite_name() + "-" + info->name();
        path = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TestFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    std::string file(const std::string& name) const { return (path / name).string(); }

    std::filesystem::path path;
};

inline std::vector<uint8_t> readFileBytes(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFileBytes(const std::string& fileName, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

} // namespace testing_support
