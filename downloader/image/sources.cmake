set(VQ_IMAGE_SOURCES
  image/firmware_image.cpp
  image/srecord_reader.cpp
  image/line_reader.h
  image/file_loader.cpp
  image/vqu_reader.cpp
  image/srecord_writer.h
  image/srecord_writer.cpp)
