# The silent server of bench_pop3_wait uses Qt's sockets.
find_package(Qt6 REQUIRED COMPONENTS Network)
target_link_libraries(bench_pop3_wait PRIVATE Qt6::Network)
