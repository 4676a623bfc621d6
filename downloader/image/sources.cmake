set(VQ_IMAGE_SOURCES
  image/firmware_image.cpp
  image/srecord_reader.cpp
  image/line_reader.h
  image/file_loader.cpp
  image/output_file.h
  image/vqu_reader.cpp
  image/srecord_writer.h
  image/srecord_writer.cpp)
# One platform file each for creating and replacing extracted files.
if(WIN32)
  list(APPEND VQ_IMAGE_SOURCES image/output_win32.cpp)
else()
  list(APPEND VQ_IMAGE_SOURCES image/output_posix.cpp)
endif()
