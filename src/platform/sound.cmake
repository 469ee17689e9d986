# Sound files are played through the desktop's event-sound library.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VESK_CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
target_link_libraries(${VESK_LIB} PRIVATE PkgConfig::VESK_CANBERRA)
