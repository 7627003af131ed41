#include "heightmap/HeightStream.h"

#include "heightmap/HeightmapFormat.h"
#include "heightmap/SampleRows.h"
#include "support/Diagnostics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{
// The height of a sample that cannot be read. (Not kUnreadable: inside the stream's members that
// name is the Problem bit, which would answer 1 instead.)
constexpr float kUnreadableHeight = std::numeric_limits<float>::quiet_NaN();
// The longest stretch of a row that heightRow reads in one go: a whole row of a 65537 x 65537
// map, 128 KiB, which the root patch samples one column in 1024 of; still fewer system calls
// and bytes than reading its samples one by one through 4 KiB blocks.
constexpr int32_t kMostRowSamples = 65537;
} // namespace

HeightStream::HeightStream(CriticalSection& heightLock_) : heightLock(heightLock_), heightCache(&heightLock_)
{
}

namespace
{
// Whether the file may be written by this process. Root may write any file, but a file whose
// permissions let nobody write it was marked read-only by its owner: it is not written either.
bool mayWrite(const std::string& fileName)
{
    struct stat status;
    if (stat(fileName.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    if (geteuid() == 0)
        return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return access(fileName.c_str(), W_OK) == 0;
}
} // namespace

TiffPtr HeightStream::openHeightmap(const std::string& fileName)
{
    // Read and write when the file allows it (setRawData writes through the same record), read
    // only otherwise; a read-only file system refuses the first and takes the second.
    const bool writable = mayWrite(fileName);
    StreamableHeightmap opened = openStreamableHeightmap(fileName, writable ? 3 : 1);
    if (writable && opened.refusal == TiffRefusal::cannotOpen)
        opened = openStreamableHeightmap(fileName, 1);
    if (opened.file)
        return std::move(opened.file);
    // The TIFF module says why it refuses a file; samples the terrain cannot use are said here.
    if (opened.refusedByTerrain)
        printDiagnostic("Error: %s cannot be streamed: %s\n", fileName.c_str(), opened.reason.c_str());
    if (opened.convertible)
        printDiagnostic("%s\n", importHint(fileName).c_str());
    return nullptr;
}

void HeightStream::attach(TiffPtr file, const std::string& name)
{
    Lock lock(heightLock);
    heightMap = std::move(file);
    fileName = name;
    stale = false;
    problems = 0;
    reported = 0;
    nextCacheUpdate = {};
}

void HeightStream::adviseRowsAt(const std::vector<float>& worldZs)
{
    if (!heightMap)
        return;
    std::vector<uint32_t> rows;
    rows.reserve(worldZs.size());
    for (const float worldZ : worldZs)
        if (const int row = sampleRow(worldZ); row >= 0)
            rows.push_back(uint32_t(row));
    std::sort(rows.begin(), rows.end());
    adviseRows(heightMap.get(), rows.data(), rows.size());
}

void HeightStream::close()
{
    syncWrites();
    Lock lock(heightLock);
    heightMap.reset();
}

/* the thread that builds patches, or the render thread while it is stopped */
void HeightStream::syncWrites()
{
    if (heightMap && unsynced.exchange(false))
        fdatasync(fileno(heightMap->file));
}

void HeightStream::setScale(float terrainSize, float terrainHeight)
{
    heightCache.clear();
    heightScale = terrainHeight / 65535.0f;
    terrainOrigin = -terrainSize / 2.0f;
    samplesPerUnit = heightMap ? float(heightMap->width & ~1u) / terrainSize : 0.0f;
}

/* the height lock is held */
void HeightStream::checkFile()
{
    switch (checkTiffFile(heightMap.get(), fileName.c_str()))
    {
    case TiffChange::none: break;
    case TiffChange::modified:
        stale = true;
        notice(kModified);
        break;
    case TiffChange::truncated:
        stale = true;
        notice(kTruncated);
        break;
    case TiffChange::replaced: notice(kReplaced); break;
    case TiffChange::removed: notice(kRemoved); break;
    }
}

uint64_t HeightStream::readRaw(int x, int y, int w, int h, char* buffer)
{
    if (!buffer)
        return 0;
    Lock lock(heightLock);
    if (!heightMap || stale)
        return 0;
    const uint64_t count = readRect(heightMap.get(), x, y, w, h, buffer);
    // What was read is the opened map's only if the file did not change before or during it.
    checkFile();
    return stale ? 0 : count;
}

uint64_t HeightStream::writeRaw(int x, int y, int w, int h, const char* buffer, SampleRect& written,
                                std::string& refusal)
{
    written = SampleRect();
    if (!heightMap)
    {
        refusal = "no heightmap is open";
        return 0;
    }
    if (!buffer)
    {
        refusal = "the buffer is null";
        return 0;
    }
    if (!heightMap->writable)
    {
        refusal = "'" + fileName + "' was opened read-only (the file or its file system does not allow writing)";
        return 0;
    }
    if (w <= 0 || h <= 0)
        return 0;
    const int x0 = std::max(x, 0);
    const int z0 = std::max(y, 0);
    const int x1 = int(std::min<int64_t>(int64_t(x) + w, heightMap->width));
    const int z1 = int(std::min<int64_t>(int64_t(y) + h, heightMap->height));
    if (x0 >= x1 || z0 >= z1)
        return 0;
    uint64_t count = 0;
    {
        Lock lock(heightLock);
        // A file someone else wrote to is no longer the map: it is neither read nor written.
        checkFile();
        if (stale)
        {
            refusal = "'" + fileName + "' was changed on disk by another program since it was opened";
            return 0;
        }
        count = writeRect(heightMap.get(), x, y, w, h, buffer);
        const uint64_t inside = uint64_t(x1 - x0) * uint64_t(z1 - z0);
        if (count == inside)
            heightCache.store(x, y, w, h, reinterpret_cast<const uint8_t*>(buffer), heightScale);
        else
        {
            heightCache.clear();
            notice(kUnwritable);
        }
    }
    if (count > 0)
    {
        written = SampleRect{x0, z0, x1, z1};
        unsynced = true;
    }
    return count;
}

void HeightStream::sampleArea(const SampleRect& samples, float& minX, float& maxX, float& minZ, float& maxZ) const
{
    const float unitsPerSample = samplesPerUnit > 0 ? 1.0f / samplesPerUnit : 0.0f;
    const float margin = 0.25f * unitsPerSample;
    minX = terrainOrigin + float(samples.x0) * unitsPerSample - margin;
    maxX = terrainOrigin + float(samples.x1) * unitsPerSample + margin;
    minZ = terrainOrigin + float(samples.z0) * unitsPerSample - margin;
    maxZ = terrainOrigin + float(samples.z1) * unitsPerSample + margin;
}

std::string HeightStream::takeReport()
{
    const unsigned fresh = problems.load() & ~reported;
    if (!fresh)
        return {};
    // The most telling kind first; the others follow at later calls.
    static const std::pair<Problem, const char*> kinds[] = {
        {kTruncated, "was cut short on disk: nothing more is read from it until openStream opens it again"},
        {kModified, "was written to by another program: nothing more is read from it until openStream opens it again"},
        {kRemoved, "was deleted: the terrain goes on reading the file it opened"},
        {kReplaced, "was replaced by another file: the terrain goes on reading the one it opened until openStream opens the new one"},
        {kUnwritable, "could not be written whole: the file took part of an edit (setRawData's count says how much) and the rest is as it was"},
        {kUnreadable, "could not be read: the patches that need it are not built; what is drawn stays"},
    };
    for (const auto& [problem, text] : kinds)
        if (fresh & problem)
        {
            reported |= problem;
            // A file cut short or written to cannot be read: that says it already.
            if (problem & (kTruncated | kModified))
                reported |= kUnreadable;
            return "Terrain: heightmap '" + fileName + "' " + text;
        }
    return {};
}

/* runs on the thread that builds patches, with the height lock held */
float HeightStream::heightAt(float worldX, float worldZ) const
{
    if (!heightMap)
        return 0.0f;
    if (stale)
        return kUnreadableHeight;
    const float sampleX = (worldX - terrainOrigin) * samplesPerUnit;
    const float sampleZ = (worldZ - terrainOrigin) * samplesPerUnit;
    if (!(sampleX > -1.0f && sampleZ > -1.0f && sampleX < float(heightMap->width) &&
          sampleZ < float(heightMap->height)))
        return 0.0f;
    const int x = int(sampleX);
    const int z = int(sampleZ);
    float height;
    return heightCache.lookup(x, z, height) ? height : fileHeight(x, z);
}

int HeightStream::sampleRow(float worldZ) const
{
    const float sampleZ = (worldZ - terrainOrigin) * samplesPerUnit;
    return sampleZ > -1.0f && sampleZ < float(heightMap->height) ? int(sampleZ) : -1;
}

/* runs on the thread that builds patches, with the height lock held */
float HeightStream::fileHeight(int x, int z) const
{
    unsigned char sample[2] = {0, 0};
    if (readPixel(heightMap.get(), uint32_t(x), uint32_t(z), sample) != 1)
    {
        notice(kUnreadable);
        return kUnreadableHeight;
    }
    return float(readSample(sample)) * heightScale;
}

/* runs on the thread that builds patches, with the height lock held */
void HeightStream::heightRow(float worldZ, const float* worldXs, int count, float* out) const
{
    if (!heightMap || stale)
    {
        std::fill(out, out + count, heightMap ? kUnreadableHeight : 0.0f);
        return;
    }
    // Each point as heightAt takes it: 0 outside the map, else the cache's sample or, noted for
    // reading, the file's.
    const int z = sampleRow(worldZ);
    const bool rowInside = z >= 0;
    rowColumns.assign(size_t(count), -1);
    int32_t first = std::numeric_limits<int32_t>::max();
    int32_t last = -1;
    for (int k = 0; k < count; ++k)
    {
        const float sampleX = (worldXs[k] - terrainOrigin) * samplesPerUnit;
        if (!(rowInside && sampleX > -1.0f && sampleX < float(heightMap->width)))
        {
            out[k] = 0.0f;
            continue;
        }
        const int x = int(sampleX);
        if (heightCache.lookup(x, z, out[k]))
            continue;
        rowColumns[size_t(k)] = x;
        first = std::min(first, x);
        last = std::max(last, x);
    }
    if (last < 0)
        return;
    // A patch's row outside the cache: one read of the stretch its samples span, when that is
    // not too long, instead of a read (or a look into the last one) per sample. A stretch that
    // cannot be read whole is left to the sample-by-sample reads, which tell which samples fail.
    const int32_t span = last - first + 1;
    if (span <= kMostRowSamples)
    {
        rowBytes.resize(size_t(span) * 2);
        if (readRect(heightMap.get(), first, z, span, 1, rowBytes.data()) == uint64_t(span))
        {
            for (int k = 0; k < count; ++k)
                if (rowColumns[size_t(k)] >= 0)
                    out[k] = float(readSample(&rowBytes[size_t(rowColumns[size_t(k)] - first) * 2])) * heightScale;
            return;
        }
    }
    for (int k = 0; k < count; ++k)
        if (rowColumns[size_t(k)] >= 0)
            out[k] = fileHeight(rowColumns[size_t(k)], z);
}

/* runs on the thread that builds patches, with the height lock held */
bool HeightStream::samplesStillValid()
{
    if (!heightMap)
        return true;
    checkFile();
    return !stale;
}

/* runs on the thread that builds patches */
void HeightStream::updateCacheBetweenBuilds()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    if (start < nextCacheUpdate)
        return;
    updateCache();
    const Clock::time_point end = Clock::now();
    nextCacheUpdate = end + 2 * (end - start);
}

/* runs on the thread that builds patches */
void HeightStream::updateCache()
{
    if (!heightMap || stale)
        return;
    TiffFile* file = heightMap.get();
    heightCache.update((cacheCameraX.load() - terrainOrigin) * samplesPerUnit,
                       (cacheCameraZ.load() - terrainOrigin) * samplesPerUnit, heightScale,
                       [this, file](int x0, int z0, int n, uint16_t* samples) {
                           // The part of the block inside the map must be read whole, from the
                           // file as it was opened.
                           const int64_t columns = std::min<int64_t>(int64_t(x0) + n, file->width) - std::max(x0, 0);
                           const int64_t rows = std::min<int64_t>(int64_t(z0) + n, file->height) - std::max(z0, 0);
                           const uint64_t inside = columns > 0 && rows > 0 ? uint64_t(columns * rows) : 0;
                           const bool whole = readRect(file, x0, z0, n, n, samples) == inside;
                           readSamples(samples, samples, size_t(n) * size_t(n));
                           if (!whole)
                               notice(kUnreadable);
                           Lock lock(heightLock); // the record's stamp changes with our writes
                           checkFile();
                           return whole && !stale;
                       });
}
