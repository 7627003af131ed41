#include "StreamFuzzInput.h"

#include "../tools/HeadlessEngine.h"
#include "Terrain.h"

#include <OgreMaterialManager.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace
{
void check(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "stream fuzz check failed: %s\n", what);
    std::abort();
}

// The engine, one terrain and a camera, made once per process; the terrain's code is linked in.
struct World
{
    headless::Engine engine{""};
    std::unique_ptr<Terrain> terrain;
    Ogre::Camera* camera = nullptr;
    int fd = -1;
    std::string fileName;

    World()
    {
        Ogre::LogManager::getSingleton().getDefaultLog()->setDebugOutputEnabled(false);
        terrain = std::make_unique<Terrain>("ground");
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(1024, 500);
        terrain->setPatchSize(8);
        terrain->setDefaultMaterial(Ogre::MaterialManager::getSingleton().create("Ground", Ogre::RGN_DEFAULT));
        camera = engine.createCamera("eye", Ogre::Vector3(0, 400, -300), Ogre::Vector3(0, 0, 0));
        // The input goes to a file with no name in any folder, reopened by its descriptor's name.
        std::string pattern = (std::filesystem::temp_directory_path() / "stream_fuzz_XXXXXX").string();
        fd = mkstemp(pattern.data());
        check(fd >= 0, "cannot make a scratch file");
        unlink(pattern.c_str());
        fileName = "/proc/self/fd/" + std::to_string(fd);
    }
};

World& world()
{
    static World instance;
    return instance;
}

void writeScratch(int fd, const uint8_t* data, size_t size)
{
    check(ftruncate(fd, 0) == 0, "cannot empty the scratch file");
    for (size_t done = 0; done < size;)
    {
        const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
        check(n > 0, "cannot write the scratch file");
        done += size_t(n);
    }
}

// A byte of the input's tail, which TIFF readers ignore, to steer the queries.
uint8_t steer(const uint8_t* data, size_t size, size_t k)
{
    return size == 0 ? 0 : data[size - 1 - k % size];
}
} // namespace

int streamFuzzInput(const uint8_t* data, size_t size)
{
    World& w = world();
    writeScratch(w.fd, data, size);
    w.terrain->setHeightCacheSize(steer(data, size, 0) % 2 ? 64 : 0);
    if (!w.terrain->openStream(w.fileName))
        return 0;
    for (int frame = 0; frame < 3; ++frame)
    {
        w.terrain->_notifyCurrentCamera(w.camera);
        w.terrain->frameStarted(Ogre::FrameEvent{});
    }
    for (size_t k = 1; k < 5; ++k)
    {
        const float x = float(steer(data, size, k) * 4) - 512.0f;
        const float z = float(steer(data, size, k + 5) * 4) - 512.0f;
        const Terrain::Hit hit = w.terrain->getHeight(Ogre::Vector3(x, 0, z));
        check(!hit.hit || std::isfinite(hit.position.y), "a height that is not a number");
        const Terrain::Hit ray = w.terrain->intersect(Ogre::Ray(Ogre::Vector3(x, 1000, z), Ogre::Vector3(0.1f, -1, 0)));
        check(!ray.hit || std::isfinite(ray.position.y), "a ray hit that is not a number");

        // A raw rectangle into a buffer with a guard after it.
        const int rx = int(steer(data, size, k + 9)) - 8, ry = int(steer(data, size, k + 13)) - 8;
        const int rw = int(steer(data, size, k + 17) % 24), rh = int(steer(data, size, k + 21) % 24);
        std::vector<uint8_t> buffer(size_t(rw) * size_t(rh) * 2 + 16, 0xA5);
        const uint64_t count = w.terrain->getRawData(rx, ry, rw, rh, reinterpret_cast<char*>(buffer.data()));
        check(count <= uint64_t(rw) * uint64_t(rh), "more samples than the rectangle holds");
        for (size_t guard = buffer.size() - 16; guard < buffer.size(); ++guard)
            check(buffer[guard] == 0xA5, "written past the rectangle");
    }
    w.terrain->closeStream();
    return 0;
}
