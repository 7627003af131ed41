#include "StatsOverlay.h"

#include "EngineSetup.h"

#include <OgreMaterialManager.h>
#include <OgreOverlay.h>
#include <OgreOverlayContainer.h>
#include <OgreOverlayManager.h>
#include <OgrePass.h>
#include <OgreTechnique.h>
#include <OgreTextAreaOverlayElement.h>


namespace
{
constexpr const char* kFont = "SdkTrays/Value"; // from Ogre's SdkTrays.zip
constexpr const char* kPanelMaterial = "TerrainViewer/StatsPanel";
constexpr float kLineHeight = 18.0f; // pixels
constexpr float kMargin = 6.0f;
constexpr float kStripWidth = 16384.0f;

// A flat translucent black, without a texture or lighting.
void createPanelMaterial()
{
    Ogre::MaterialManager& materials = Ogre::MaterialManager::getSingleton();
    if (materials.resourceExists(kPanelMaterial, kViewerResourceGroup))
        return;
    Ogre::MaterialPtr material = materials.create(kPanelMaterial, kViewerResourceGroup);
    Ogre::Pass* pass = material->getTechnique(0)->getPass(0);
    pass->setLightingEnabled(false);
    pass->setDepthCheckEnabled(false);
    pass->setDepthWriteEnabled(false);
    pass->setSceneBlending(Ogre::SBT_TRANSPARENT_ALPHA);
    Ogre::TextureUnitState* unit = pass->createTextureUnitState();
    unit->setColourOperationEx(Ogre::LBX_SOURCE1, Ogre::LBS_MANUAL, Ogre::LBS_CURRENT, Ogre::ColourValue::Black);
    unit->setAlphaOperation(Ogre::LBX_SOURCE1, Ogre::LBS_MANUAL, Ogre::LBS_CURRENT, 0.55f);
}
} // namespace

StatsOverlay::StatsOverlay()
{
    createPanelMaterial();
    Ogre::OverlayManager& manager = Ogre::OverlayManager::getSingleton();
    overlay = manager.create("TerrainViewer/Stats");
    panel = static_cast<Ogre::OverlayContainer*>(manager.createOverlayElement("Panel", "TerrainViewer/StatsPanel"));
    panel->setMetricsMode(Ogre::GMM_PIXELS);
    panel->setPosition(0, 0);
    // Across the whole picture: wider than any viewport, which clips it.
    panel->setDimensions(kStripWidth, 2 * kLineHeight + 2 * kMargin);
    panel->setMaterialName(kPanelMaterial, kViewerResourceGroup);
    for (int i = 0; i < 2; ++i)
    {
        auto* text = static_cast<Ogre::TextAreaOverlayElement*>(
            manager.createOverlayElement("TextArea", "TerrainViewer/StatsLine" + std::to_string(i)));
        text->setMetricsMode(Ogre::GMM_PIXELS);
        text->setPosition(kMargin + 2.0f, kMargin + float(i) * kLineHeight);
        text->setDimensions(kStripWidth, kLineHeight);
        text->setFontName(kFont, kViewerResourceGroup);
        text->setCharHeight(kLineHeight - 2.0f);
        text->setColour(i == 0 ? Ogre::ColourValue(1.0f, 1.0f, 1.0f) : Ogre::ColourValue(0.85f, 0.85f, 0.7f));
        panel->addChild(text);
        lines[i] = text;
    }
    overlay->add2D(panel);
    overlay->show();
}

StatsOverlay::~StatsOverlay()
{
    Ogre::OverlayManager* manager = Ogre::OverlayManager::getSingletonPtr();
    if (!manager)
        return;
    for (Ogre::TextAreaOverlayElement* text : lines)
        if (text)
            manager->destroyOverlayElement(text);
    if (panel)
        manager->destroyOverlayElement(panel);
    if (overlay)
        manager->destroy(overlay);
}

void StatsOverlay::setText(const std::string& statistics, const std::string& hint)
{
    lines[0]->setCaption(statistics);
    lines[1]->setCaption(hint);
}
