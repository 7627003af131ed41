// Feeds every file of a folder to a fuzz input once (FUZZ_INPUT, given by the build): the
// corpus as a regression test, built with any compiler and run under the sanitizer builds.

#include FUZZ_INPUT_HEADER

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: " << argv[0] << " <corpus folder>\n";
        return 2;
    }
    size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
    {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        FUZZ_INPUT(bytes.data(), bytes.size());
        ++replayed;
    }
    std::cerr << "replayed " << replayed << " inputs from " << argv[1] << "\n";
    // An empty folder means a wrong path, not a passing corpus.
    return replayed > 0 ? 0 : 1;
}
