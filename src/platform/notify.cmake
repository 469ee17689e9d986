# Desktop notifications (session bus) and the wake watch (system bus) go over
# Qt D-Bus, part of qt6-base-dev.
find_package(Qt6 REQUIRED COMPONENTS DBus)
target_link_libraries(${VESK_LIB} PRIVATE Qt6::DBus)
