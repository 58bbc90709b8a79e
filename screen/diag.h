// The library's diagnostic line: "sck-video: " + text + "\n" on standard
// error, in one write.
//
// Called by the start task (api.cpp) on its worker thread and by the frame
// sink's stop report on a thread of the platform's choosing. Allocates
// nothing and never throws, so it is safe on every failure path, including
// after an allocation failed.
#pragma once

#include <string_view>

namespace screen {

void line(std::string_view text) noexcept;

}  // namespace screen
