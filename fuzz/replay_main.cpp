// Runs a fuzz target over files without libFuzzer: every argument is a file or a folder of
// files, fed to the target one by one. Builds without clang replay the corpora this way.
// 64-bit file offsets and inode numbers: 32-bit builds would fail to list big file systems.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
// The path itself, or the files of a folder in name order; nothing when it does not exist.
std::vector<std::string> filesOf(const std::string& path)
{
    struct stat info {};
    std::vector<std::string> files;
    DIR* dir = ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? ::opendir(path.c_str()) : nullptr;
    for (const dirent* entry = dir ? ::readdir(dir) : nullptr; entry; entry = ::readdir(dir)) {
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") {
            files.push_back(path + "/" + entry->d_name);
        }
    }
    if (dir) {
        ::closedir(dir);
    } else if (::stat(path.c_str(), &info) == 0) {
        files.push_back(path);
    }
    std::sort(files.begin(), files.end());
    return files;
}
}

int main(int argc, char** argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::string> files = filesOf(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "no input in %s\n", argv[i]);
            return 1;
        }
        for (const std::string& file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
