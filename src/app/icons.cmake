# The tray icons are SVG drawings compiled in as Qt resources and rendered by
# Qt SVG at the sizes a tray asks for.
find_package(Qt6 REQUIRED COMPONENTS Svg)
qt_add_resources(_vesk_icon_sources ${CMAKE_CURRENT_SOURCE_DIR}/icons/icons.qrc)
target_sources(${VESK_LIB} PRIVATE ${_vesk_icon_sources})
target_link_libraries(${VESK_LIB} PRIVATE Qt6::Svg)
