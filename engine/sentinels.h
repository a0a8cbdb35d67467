#pragma once

#include "ciapi/image.h"

// Process-wide pyramids with which listeners tell states apart from real output. They
// are distinct handles, compared by identity only; holders keep copies of the handle.
const CIAPI::ImagePyramid& emptyPyramid(); // no image
const CIAPI::ImagePyramid& loadingPyramid(); // a load was asked for, no output yet
const CIAPI::ImagePyramid& invalidPyramid(); // the file could not be read
const CIAPI::ImagePyramid& reservedPyramid(); // a fourth state with no producer

// True for any of the four.
bool isSentinel(const CIAPI::ImagePyramid& pyramid);
