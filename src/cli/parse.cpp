// Command-line parse: one linear pass over the command table, which is in the order in
// which the words are tried.
#include "cli/cli.h"

#include <cstring>

const Command* parse_command(int argc, char* const argv[], bool* http)
{
    *http = false;
    if (argc < 2) {
        return nullptr;
    }
    const std::string_view word = argv[1];
    for (const Command& command : command_table()) {
        const bool count_fits = command.or_more ? argc >= command.argc : argc == command.argc;
        if (!count_fits || word != command.word) {
            continue;
        }
        if (command.http_index > 0 && argc > command.http_index) {
            *http = std::strcmp(argv[command.http_index], "HTTP") == 0;
        }
        return &command;
    }
    return nullptr;
}

std::string_view program_name(const char* argv0)
{
    const char* slash = std::strrchr(argv0, '/');
    return slash != nullptr ? std::string_view(slash + 1) : std::string_view(argv0);
}
