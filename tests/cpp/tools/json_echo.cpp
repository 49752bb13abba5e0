// zarn_json_echo FILE: reads FILE as one JSON document and prints the writer's
// text of it, or "error: <description at line L column C>" with exit code 1.
// The Python conformance test compares its output with Python's json module.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "json/reader.hpp"
#include "json/writer.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: zarn_json_echo FILE\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "error: cannot open %s\n", argv[1]);
        return 2;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto value = zarn::json::read_json(text);
    if (!value) {
        std::printf("error: %s\n", value.error().to_string().c_str());
        return 1;
    }
    const std::string out = zarn::json::to_json_text(*value);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
