#include "heightmap/HeightStream.h"

#include "heightmap/SampleRows.h"
#include "support/Diagnostics.h"

HeightStream::HeightStream(CriticalSection& heightLock_) : heightLock(heightLock_), heightCache(&heightLock_)
{
}

TiffPtr HeightStream::openHeightmap(const std::string& fileName)
{
    TiffPtr file(openTiff(fileName.c_str(), 1));
    if (!file)
        return nullptr;
    // The height source reads exactly one 2-byte sample per pixel; a wider pixel would not fit,
    // and any other layout would give meaningless heights.
    if (file->bitsPerSample != 16 || file->samplesPerPixel != 1)
    {
        printDiagnostic("Error: Heightmap needs one 16-bit sample per pixel (has %u of %u bits)\n",
                        file->samplesPerPixel, file->bitsPerSample);
        return nullptr;
    }
    return file;
}

void HeightStream::attach(TiffPtr file)
{
    Lock lock(heightLock);
    heightMap = std::move(file);
}

void HeightStream::close()
{
    Lock lock(heightLock);
    heightMap.reset();
}

void HeightStream::setScale(float terrainSize, float terrainHeight)
{
    heightCache.clear();
    heightScale = terrainHeight / 65535.0f;
    terrainOrigin = -terrainSize / 2.0f;
    samplesPerUnit = heightMap ? float(heightMap->width & ~1u) / terrainSize : 0.0f;
}

uint64_t HeightStream::readRaw(int x, int y, int w, int h, char* buffer)
{
    if (!buffer)
        return 0;
    Lock lock(heightLock);
    if (!heightMap)
        return 0;
    return readRect(heightMap.get(), x, y, w, h, buffer);
}

/* runs on the thread that builds patches, with the height lock held */
float HeightStream::heightAt(float worldX, float worldZ) const
{
    if (!heightMap)
        return 0.0f;
    const float sampleX = (worldX - terrainOrigin) * samplesPerUnit;
    const float sampleZ = (worldZ - terrainOrigin) * samplesPerUnit;
    if (!(sampleX > -1.0f && sampleZ > -1.0f && sampleX < float(heightMap->width) &&
          sampleZ < float(heightMap->height)))
        return 0.0f;
    const int x = int(sampleX);
    const int z = int(sampleZ);
    float height;
    if (heightCache.lookup(x, z, height))
        return height;
    unsigned char sample[2] = {0, 0};
    readPixel(heightMap.get(), uint32_t(x), uint32_t(z), sample);
    return float(readSample(sample)) * heightScale;
}

/* runs on the thread that builds patches */
void HeightStream::updateCache()
{
    if (!heightMap)
        return;
    TiffFile* file = heightMap.get();
    heightCache.update((cacheCameraX.load() - terrainOrigin) * samplesPerUnit,
                       (cacheCameraZ.load() - terrainOrigin) * samplesPerUnit, heightScale,
                       [file](int x0, int z0, int n, uint16_t* samples) {
                           readRect(file, x0, z0, n, n, samples);
                           readSamples(samples, samples, size_t(n) * size_t(n));
                       });
}
