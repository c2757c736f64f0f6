# The MQTT engine's watch threads against a scripted link (no broker, no controller).
if(TARGET orvane_mqtt)
  orvane_add_test(mqtt_watch_test SOURCES unit/mqtt_watch_test.cc LIBS orvane_mqtt LABELS "tsan")
endif()
