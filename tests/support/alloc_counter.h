// Counts heap allocations made through operator new in a test binary that
// links alloc_counter.cpp. Only counts; allocation behaves as usual.
#pragma once

namespace testing_support {
long allocationCount();
}
