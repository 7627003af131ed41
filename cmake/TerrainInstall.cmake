# Install layout, the CMake package (find_package(PluginTerrain)) and the pkg-config file.
#
#   lib/OGRE/Plugin_Terrain.so          the plug-in (also linked by hosts that call Terrain)
#   include/PluginTerrain/*.h           the public headers
#   share/plugin-terrain/media/         the shipped materials
#   bin/terrain-viewer, bin/terrain-heightmap
#   lib/cmake/PluginTerrain/            package configuration
#   lib/pkgconfig/plugin-terrain.pc
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TERRAIN_INSTALL_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/OGRE")
set(TERRAIN_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/PluginTerrain")
set(TERRAIN_INSTALL_MEDIADIR "${CMAKE_INSTALL_DATADIR}/plugin-terrain/media")
set(TERRAIN_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/PluginTerrain")

install(TARGETS Plugin_Terrain EXPORT PluginTerrainTargets
  LIBRARY DESTINATION ${TERRAIN_INSTALL_PLUGINDIR}
  INCLUDES DESTINATION ${TERRAIN_INSTALL_INCLUDEDIR})
install(FILES include/Terrain.h include/PatchGeometry.h DESTINATION ${TERRAIN_INSTALL_INCLUDEDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/media)
  install(DIRECTORY media/ DESTINATION ${TERRAIN_INSTALL_MEDIADIR})
endif()
foreach(tool terrain-viewer terrain-heightmap)
  if(TARGET ${tool})
    # The viewer links the plug-in, which lives in Ogre's plug-in folder layout, not in lib/.
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${TERRAIN_INSTALL_PLUGINDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT PluginTerrainTargets NAMESPACE PluginTerrain:: DESTINATION ${TERRAIN_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/PluginTerrainConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/PluginTerrainConfig.cmake
  INSTALL_DESTINATION ${TERRAIN_INSTALL_CMAKEDIR}
  PATH_VARS TERRAIN_INSTALL_PLUGINDIR TERRAIN_INSTALL_MEDIADIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/PluginTerrainConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/PluginTerrainConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/PluginTerrainConfigVersion.cmake
  DESTINATION ${TERRAIN_INSTALL_CMAKEDIR})

configure_file(cmake/plugin-terrain.pc.in ${CMAKE_CURRENT_BINARY_DIR}/plugin-terrain.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/plugin-terrain.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
