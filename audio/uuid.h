// Random (version 4) UUIDs in the upper-case 36-character string form.
// Used by bindings whose platform has no UUID type of its own.
#pragma once

#include <string>

std::string randomUUIDString();
