#pragma once

// Fractal heightmaps too large to hold as floats (edges beyond 32769 samples), made a band of
// rows at a time. The coarse levels of the fractal are a 4097 x 4097 grid in memory, made by
// the same generator as smaller maps; the finer levels are made per band from random numbers
// seeded by their position, so that any band can be made on its own and comes out the same
// every time. Memory: the coarse grid (64 MiB) and one band.

#include <cstdint>
#include <vector>

class LargeFractal
{
public:
    // edge: samples along one edge, above 4097 (rounded up to 2^k + 1 for the fractal, whose
    // corner is kept).
    LargeFractal(uint32_t edge, uint32_t seed, float roughness);

    uint32_t edge() const { return edge_; }

    // The unnormalised heights of rows first .. first + count - 1, columns 0 .. edge - 1, row by
    // row into out (resized to count * edge); rows past the edge are left out.
    void rows(uint32_t first, uint32_t count, std::vector<float>& out) const;

private:
    float random(uint32_t x, uint32_t z) const;

    uint32_t edge_;
    uint32_t size_;   // the fractal's grid is size_ + 1 samples a side, size_ = 2^k
    uint32_t cell_;   // samples between coarse grid points: size_ / 4096
    uint64_t seed_;
    float roughness_;
    float fineAmplitude_; // amplitude of the first level finer than the coarse grid
    std::vector<float> coarse_;
};
