#pragma once

#include "heightmap/HeightCache.h"
#include "heightmap/Tiff.h"
#include "support/Thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The heightmap a terrain streams its heights from: the open file, the mapping of its samples
// onto the terrain's square and heights, and the height cache around the camera.
//
// Sample s stands for the world height s * terrainHeight / 65535. The map covers the terrain's
// square: image column x runs along world x and image row y along world z, row 0 at the most
// negative z; (width rounded down to even) samples span the edge, so a map of 2^k + 1 samples puts
// its last one exactly on the far edge.
//
// A sample that cannot be read is never made up: heightAt answers NaN for it, and the patch that
// asked is not built. The file may change on disk while it is streamed: written to or cut short
// by another program, nothing more is read from it (its content is no longer the map that was
// opened) until it is opened again; replaced or deleted, the stream goes on reading the file it
// opened, which the system keeps. Each such event is reported once (takeReport).
//
// Threads: heightAt, updateCache, syncWrites and samplesStillValid run on the thread that builds
// patches; everything else on the render thread. The file and the cache are shared through the
// height lock (the Landscape's, given at construction): heightAt's caller holds it while it
// samples a patch; readRaw and writeRaw take it for one rectangle at a time; a cache move reads
// its blocks without it (rectangle reads touch no shared state) and takes it to check the file
// and to install them.
class HeightStream
{
public:
    explicit HeightStream(CriticalSection& heightLock);
    HeightStream(const HeightStream&) = delete;
    HeightStream& operator=(const HeightStream&) = delete;

    // Opens a file for streaming: a TIFF the module reads, with one unsigned 16-bit sample per
    // pixel. Otherwise prints why and, when the heightmap tool can convert the file, the command
    // that does, and returns null.
    static TiffPtr openHeightmap(const std::string& fileName);

    // ---- render thread, with the build thread stopped ----
    void attach(TiffPtr file, const std::string& fileName);
    void close();
    bool isOpen() const { return heightMap != nullptr; }
    uint32_t sampleColumns() const { return heightMap ? heightMap->width : 0; }
    // The terrain's edge and the world height of sample 65535; empties the cache, whose heights
    // were scaled for the old values.
    void setScale(float terrainSize, float terrainHeight);

    // Asks the system to read the heightmap rows under the given world z coordinates into its
    // file cache in the background (see adviseRows): the rows that the first patches of a new
    // tree will read, which on a file fresh from the disk come in side by side instead of one
    // read at a time. Coordinates map to rows as heightAt maps them; those off the map are
    // skipped.
    void adviseRowsAt(const std::vector<float>& worldZs);

    // ---- render thread ----
    // Edge of the cache window in samples (0 or less: no cache). A new size empties it.
    void setCacheSize(int size) { heightCache.setSize(size); }
    // Bytes the cache's blocks hold now.
    uint64_t cacheBytes() const { return heightCache.bytes(); }
    // The reference camera's position for the cache; a stale value only delays its move.
    void setCameraPosition(float worldX, float worldZ)
    {
        cacheCameraX = worldX;
        cacheCameraZ = worldZ;
    }
    // Raw samples of image columns x .. x+w-1 and rows y .. y+h-1 into buffer (w * h samples of
    // two little-endian bytes, row by row); parts outside the map are left untouched. Returns the
    // number of samples read: 0 without a file, or once the file has changed on disk.
    uint64_t readRaw(int x, int y, int w, int h, char* buffer);
    // Writes raw samples (laid out as for readRaw) into the file in place, the part of the
    // rectangle inside the map only, and puts them in the cache window. Every reader of the file
    // sees them at once; the device holds them after the next syncWrites. Returns the number of
    // samples written, with the part written in `written` (columns x0 .. x1-1, rows
    // z0 .. z1-1); 0, with why in `refusal`, when nothing could be: no file, a null buffer, a
    // file opened read-only, one written to by another program since it was opened. A write
    // that fails part way (a full disk, an I/O error) returns what the file took and empties
    // the cache, whose copy of the rest would be a guess.
    struct SampleRect
    {
        int x0 = 0, z0 = 0, x1 = 0, z1 = 0;
    };
    uint64_t writeRaw(int x, int y, int w, int h, const char* buffer, SampleRect& written, std::string& refusal);
    // The terrain-local box (x and z) of the points whose heights read the samples of a
    // rectangle: heightAt truncates, so sample column c holds for x in [c, c + 1) / samplesPerUnit
    // from the origin. Widened by a quarter of a sample for the rounding of vertex positions.
    void sampleArea(const SampleRect& samples, float& minX, float& maxX, float& minZ, float& maxZ) const;
    bool isWritable() const { return heightMap && heightMap->writable; }
    // One line for the engine's log about something the file did that was not reported yet
    // (changed on disk, replaced, deleted, unreadable), naming it; empty when there is none.
    std::string takeReport();

    // ---- the thread that builds patches ----
    // World height of the sample at or below (worldX, worldZ): the conversion truncates toward
    // zero, so a position up to one sample before the near edge still reads sample 0. 0 outside
    // the map or without a file; NaN when the sample cannot be read. The caller holds the height
    // lock.
    float heightAt(float worldX, float worldZ) const;
    // heightAt for count points of one row (its world z, and the points' world x in worldXs),
    // answered into out: the same answers, with the samples that the cache does not hold read
    // from the file in one go where they lie close together. The caller holds the height lock.
    void heightRow(float worldZ, const float* worldXs, int count, float* out) const;
    // Whether the samples read so far are the opened file's: false once it has been written to
    // or cut short on disk. The caller holds the height lock.
    bool samplesStillValid();
    // Waits until the device holds what writeRaw wrote (fdatasync), when it wrote anything since
    // the last call. Also called by close. A device sync takes a millisecond or more (far more on
    // a busy disk), too long for the render thread's frame, so the build thread does it.
    void syncWrites();
    // Moves the cache window around the camera when it has moved far enough.
    void updateCache();
    // The same between patch builds, paced: while the camera outruns the window (a dense map, a
    // fast flight) back-to-back refills would starve the builds, which meanwhile read the file
    // directly. A refill that took D lets the next one start only 2D later, so refills take at
    // most a third of the build thread's time.
    void updateCacheBetweenBuilds();

private:
    // Kinds of trouble with the file, as bits of `problems`.
    enum Problem : unsigned
    {
        kUnreadable = 1,
        kModified = 2,
        kTruncated = 4,
        kReplaced = 8,
        kRemoved = 16,
        kUnwritable = 32,
    };
    // Looks at the file on disk; records what changed. Height lock held.
    void checkFile();
    void notice(Problem problem) const { problems |= problem; }
    // Sample (x, z), inside the map, from the file: its height, or NaN (noticed) when it cannot be
    // read. Height lock held.
    float fileHeight(int x, int z) const;
    // The image row that heights at world z read (truncated toward zero, as heightAt does), or
    // -1 off the map. Needs a file.
    int sampleRow(float worldZ) const;

    CriticalSection& heightLock;

    // ---- set while the build thread is stopped ----
    TiffPtr heightMap;        // the open heightmap; null while no stream is open
    std::string fileName;     // its name, for checks on disk and for reports
    float heightScale = 0;    // terrainHeight / 65535
    float samplesPerUnit = 0; // heightmap samples per world unit
    float terrainOrigin = 0;  // world x and z of sample (0, 0): -terrainSize / 2

    HeightCache heightCache; // under heightLock
    // heightRow's work space: the column of each point still to read, and the bytes of a row.
    // Under heightLock.
    mutable std::vector<int32_t> rowColumns;
    mutable std::vector<uint8_t> rowBytes;
    // Thread that builds patches only: when updateCacheBetweenBuilds may refill the window again.
    std::chrono::steady_clock::time_point nextCacheUpdate;
    // Written by the render thread each frame, read by the build thread.
    std::atomic<float> cacheCameraX{0.0f};
    std::atomic<float> cacheCameraZ{0.0f};

    // ---- shared: set by whichever thread notices, read by the render thread ----
    std::atomic<bool> stale{false};        // written to or cut short: nothing more is read
    std::atomic<bool> unsynced{false};     // writeRaw wrote since the last syncWrites
    mutable std::atomic<unsigned> problems{0}; // Problem bits seen since the file was opened
    unsigned reported = 0;                 // render thread only: Problem bits already reported
};
