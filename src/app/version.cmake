# Both programs carry the program's version block (name and version from
# the project), which the settings dialog reads back for its version label.
include(${PROJECT_SOURCE_DIR}/cmake/VersionResource.cmake)
vesk_embed_version_resource(Vesk)
vesk_embed_version_resource(vesk-desktop)
