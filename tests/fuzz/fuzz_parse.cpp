// Fuzzes the command-line parse: the input is split at NUL bytes into argv words.
#include "cli/cli.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> words{"flashtool"};
    std::string word;
    for (std::size_t i = 0; i < size && words.size() < 16; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    bool http = false;
    const Command* command = parse_command(static_cast<int>(words.size()), argv.data(), &http);
    if (command != nullptr) {
        // Whatever is chosen must accept this count, and HTTP only where the word allows it.
        const int argc = static_cast<int>(words.size());
        if (command->or_more ? argc < command->argc : argc != command->argc) {
            __builtin_trap();
        }
        if (http && (command->http_index == 0 || words[static_cast<std::size_t>(command->http_index)] != "HTTP")) {
            __builtin_trap();
        }
    }
    static_cast<void>(program_name(words[0].c_str()));
    return 0;
}
