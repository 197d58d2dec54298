// Runs a fuzz target over committed inputs without libFuzzer: each argument is a
// file or a folder of files. Fails when it finds no input at all, so a lost corpus
// cannot pass unnoticed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size);

namespace {

void Replay(const std::filesystem::path &File) {
  std::ifstream Stream(File, std::ios::binary);
  const std::vector<char> Bytes((std::istreambuf_iterator<char>(Stream)),
                                std::istreambuf_iterator<char>());
  std::vector<std::uint8_t> Data(Bytes.begin(), Bytes.end());
  LLVMFuzzerTestOneInput(Data.data(), Data.size());
}

} // namespace

int main(int Argc, char **Argv) {
  int Count = 0;
  for (int I = 1; I < Argc; ++I) {
    const std::filesystem::path Path(Argv[I]);
    if (std::filesystem::is_directory(Path)) {
      for (const auto &Entry : std::filesystem::directory_iterator(Path))
        if (Entry.is_regular_file()) {
          Replay(Entry.path());
          ++Count;
        }
    } else {
      Replay(Path);
      ++Count;
    }
  }
  std::printf("replayed %d inputs\n", Count);
  return Count > 0 ? 0 : 1;
}
