# bench_push stops and starts its private Dovecot through the fixture script.
target_compile_definitions(bench_push PRIVATE VESK_DOVECOT_SH="${CMAKE_SOURCE_DIR}/scripts/fixtures/dovecot.sh")
