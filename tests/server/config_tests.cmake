# Start-up configuration and environment reading.
torvesk_add_test(server_config_tests
  SOURCES config_test.cc
  LIBS torvesk_server)
