// The progress display shared by every image writer.
#include "flash/flash.h"

#include <cstdio>

int http_progress = 0;

std::int32_t progress_percent(std::uint64_t done, std::uint64_t total) noexcept
{
    // A file that grew after its size was taken must neither divide by zero nor pass 100.
    if (total == 0 || done >= total) {
        return 100;
    }
    return static_cast<std::int32_t>(done * 100 / total);
}

void report_progress(ProgressState& state, std::int32_t percent, bool section_rule)
{
    bool print = percent != state.last_percent;
    if (section_rule) {
        // A section's first step prints only at exactly 1 %, so that the first step of a
        // later section, which carries the running count, never repeats a percentage.
        print = print && (state.last_percent != 0 || percent == 1);
    }
    if (print) {
        if (http_progress == 0) {
            std::printf("written %d %% ...\n", percent);
        } else {
            std::printf("%3d %%   ", percent);
        }
        std::fflush(stdout);
        ++state.print_count;
        if (http_progress != 0 && state.print_count % 10 == 0) {
            std::printf("\n");
        }
    }
    state.last_percent = percent;
}
