#pragma once

// The on-screen statistics: two lines of text on a dark strip across the top of the picture,
// drawn by Ogre's overlay system with the font of Ogre's own font pack.

#include <string>

namespace Ogre
{
class Overlay;
class OverlayContainer;
class TextAreaOverlayElement;
}

class StatsOverlay
{
public:
    // Creates the overlay, shown. Needs the overlay system and the font pack's resources
    // initialised (see addViewerResources). Throws Ogre::Exception when the font is missing.
    StatsOverlay();
    StatsOverlay(const StatsOverlay&) = delete;
    StatsOverlay& operator=(const StatsOverlay&) = delete;
    ~StatsOverlay();

    // [in] statistics: the first line; [in] hint: the second (keys, mode).
    void setText(const std::string& statistics, const std::string& hint);

private:
    Ogre::Overlay* overlay = nullptr;
    Ogre::OverlayContainer* panel = nullptr;
    Ogre::TextAreaOverlayElement* lines[2] = {nullptr, nullptr};
};
