set(VQ_MONITOR_SOURCES
  monitor/blocks.h
  monitor/reply.cpp
  monitor/entry.cpp
  monitor/paging.cpp
  monitor/download.cpp
  monitor/verify.cpp
  monitor/image_check.cpp)
