# The POP3 server of bench_dual_stack uses Qt's sockets.
find_package(Qt6 REQUIRED COMPONENTS Network)
target_link_libraries(bench_dual_stack PRIVATE Qt6::Network)
