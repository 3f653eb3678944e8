# Configuration, text and address helpers of the server core.
torvesk_add_test(server_config_tests
  SOURCES text_test.cc net_address_test.cc config_test.cc
  LIBS torvesk_server)
