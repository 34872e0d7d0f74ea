// Runs a fuzz target over every file of the directories (or files) named on the command
// line, so the committed seed corpus is replayed by every build, fuzzer or not.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool ReplayFile(const std::string& path)
{
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) {
        fprintf(stderr, "replay: cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(fp);
    // A heap copy of the exact size, so an over-read is caught by the sanitizers.
    uint8_t* exact = new uint8_t[bytes.size() ? bytes.size() : 1];
    if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), exact);
    LLVMFuzzerTestOneInput(exact, bytes.size());
    delete[] exact;
    return true;
}

int main(int argc, char** argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "replay: %s is missing\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (!ReplayFile(argv[i])) return 1;
            ++count;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        if (!dir) return 1;
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (!ReplayFile(std::string(argv[i]) + "/" + name)) { closedir(dir); return 1; }
            ++count;
        }
        closedir(dir);
    }
    printf("replayed %zu inputs\n", count);
    return count ? 0 : 1;
}
