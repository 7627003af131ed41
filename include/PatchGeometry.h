#pragma once

#include <cstdint>

namespace Ogre
{
class AxisAlignedBox;
}

// The drawable geometry of one terrain patch, as the terrain's patch callbacks see it.
//
// A patch is a square grid of N x N vertices (N = patch size + 1) drawn as one triangle strip.
// Vertex (i, j), column i along x and row j along z, is record i + j * N. Each record is ten
// 32-bit floats (40 bytes), in the terrain's local space, y up:
//
//   float 0      x
//   float 1      height at the patch's own level
//   float 2      z
//   floats 3-5   unit normal at the patch's own level
//   floats 6-8   morph-target normal: the normal once the patch has blended into its parent
//   float 9      morph-target height: the height once the patch has blended into its parent
//
// The displayed surface blends the two by the patch's morph factor m, clamped to [0, 1]:
// height = morphHeight + (y - morphHeight) * m, normal = morphNormal + (normal - morphNormal) * m.
// At m = 1 the patch shows its own detail; at m = 0 it lies on its parent's surface. Border
// vertices have morph targets equal to their own values, so in this form they come out exactly
// the same in neighbouring patches whatever their factors (y * m + morphHeight * (1 - m) is
// equal in exact arithmetic but can differ by a rounding step, enough for a pixel-wide crack).
//
// The strip holds (2N + 4) * (N - 1) - 4 16-bit indices: one run of 2N indices per row of quads,
// rows joined by four degenerate indices. Each quad is split along the diagonal from vertex
// (i + 1, j) to (i, j + 1); triangles face +y (counter-clockwise seen from above).
//
// Lifetime: a PatchGeometry* handed to a callback stays valid until the patch-destroyed
// callback names it. Thread: read and written on the render thread only.
struct PatchGeometry
{
    uint64_t vertexCount = 0;  // N * N once built, 0 before
    uint64_t indexCount = 0;   // length of the strip
    float* vertices = nullptr; // vertexCount records of ten floats; owned by the patch
    // The strip; shared by every patch of the terrain stitched alike and never written. Stitching
    // points the patch at another strip: a pointer stays valid (and its strip unchanged) while
    // the terrain lives, but is this patch's strip only until the patch-changed callback says
    // that its indices changed.
    const uint16_t* indices = nullptr;
    void* drawable = nullptr;  // the owner's drawable for this patch; never read by the engine
    const Ogre::AxisAlignedBox* bounds = nullptr; // box around the patch's vertices
    const float* morph = nullptr; // the patch's morph factor m (not clamped; clamp to [0, 1])
};
