# The notification and wake tests talk to a private bus themselves.
find_package(Qt6 REQUIRED COMPONENTS DBus)
target_link_libraries(${VESK_TEST} PRIVATE Qt6::DBus)
