// A baseline: the tool written the plain textbook way, with iostreams and a
// shared libstdc++. Only for comparison.
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    char rec[128];
    std::memset(rec, ' ', sizeof rec);
    std::memcpy(rec, "TAG", 4);
    const int widths[] = {30, 30, 30, 4, 30};
    int at = 3;
    std::string line;
    for (int w : widths) {
        std::getline(std::cin, line);
        std::memcpy(rec + at, line.data(), std::min<std::size_t>(line.size(), w));
        at += w;
    }
    int genre = 255;
    std::cin >> genre;
    rec[127] = static_cast<char>(genre);
    std::fstream f(argv[1], std::ios::in | std::ios::out | std::ios::binary);
    if (!f) {
        std::cerr << "Can't open " << argv[1] << '\n';
        return 1;
    }
    char probe[3] = {};
    f.seekg(-128, std::ios::end);
    f.read(probe, 3);
    const bool found = f && std::memcmp(probe, "TAG", 3) == 0;
    f.clear();
    f.seekp(found ? -128 : 0, std::ios::end);
    f.write(rec, sizeof rec);
    return 0;
}
