// The BGRX pixel kernels a capture binding needs beside its source of
// pixels: colour conversion, area scaling and the picture operations.
#pragma once

#include "area_scaler.h"
#include "bgrx_nv12.h"
#include "picture.h"
