# The keyboard LED service talks to the X server's keyboard extension (Xlib).
find_package(X11 REQUIRED)
target_link_libraries(${VESK_LIB} PRIVATE X11::X11)
