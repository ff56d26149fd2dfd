// The segmentation method, as programs outside this tree include it: #include <daskel/segment.hpp>.
#ifndef DASKEL_INCLUDE_DASKEL_SEGMENT_HPP
#define DASKEL_INCLUDE_DASKEL_SEGMENT_HPP

#include "segment/segment.hpp"

#endif  // DASKEL_INCLUDE_DASKEL_SEGMENT_HPP
