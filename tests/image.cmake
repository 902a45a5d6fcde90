# Image sources and the packer.
zuva_add_gtest(test_hex SOURCES unit/test_hex.cpp LIBS zuva_image LABELS unit)
zuva_add_gtest(test_embedded SOURCES unit/test_embedded.cpp LIBS zuva_image LABELS unit)
