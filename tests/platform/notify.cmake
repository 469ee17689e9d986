# The notification tests talk to a private session bus themselves.
find_package(Qt6 REQUIRED COMPONENTS DBus)
target_link_libraries(${VESK_TEST} PRIVATE Qt6::DBus)
