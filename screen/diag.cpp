#include "diag.h"

#include <sys/uio.h>
#include <unistd.h>

#include "write_all.h"

namespace screen {

void line(std::string_view text) noexcept {
    static constexpr char kPrefix[] = "sck-video: ";
    static constexpr char kEnd[] = "\n";
    // Gathered, so the line reaches the descriptor in a single write and
    // cannot interleave with another writer's output.
    iovec parts[3] = {
        {const_cast<char*>(kPrefix), sizeof kPrefix - 1},
        {const_cast<char*>(text.data()), text.size()},
        {const_cast<char*>(kEnd), 1},
    };
    // Nowhere is left to report a failure to.
    (void)common::writeAll(STDERR_FILENO, parts, 3, common::kNoWait);
}

}  // namespace screen
