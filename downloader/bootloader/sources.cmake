set(VQ_BOOTLOADER_SOURCES
  bootloader/wakeup.cpp
  bootloader/lines.cpp
  bootloader/signature.cpp
  bootloader/image_check.cpp)
