set(VQ_SERIAL_SOURCES
  serial/link.cpp
  serial/exchange.cpp)
# One platform file each; the Linux custom rates and low-latency mode have files of their own.
if(WIN32)
  list(APPEND VQ_SERIAL_SOURCES serial/port_win32.cpp)
else()
  list(APPEND VQ_SERIAL_SOURCES serial/port_posix.cpp serial/custom_rate_linux.cpp serial/low_latency_linux.cpp)
endif()
