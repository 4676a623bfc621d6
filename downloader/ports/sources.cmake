set(VQ_PORTS_SOURCES ports/listing.cpp)
# One platform file each: sysfs on Linux, the registry on Windows.
if(WIN32)
  list(APPEND VQ_PORTS_SOURCES ports/list_win32.cpp)
else()
  list(APPEND VQ_PORTS_SOURCES ports/list_linux.cpp)
endif()
