# Settings that depend on the target platform rather than on the project.

if(WIN32)
  # M_PI and friends are hidden by the strict C++17 mode on Windows' math.h;
  # min/max macros from windows.h would break std::min and cv::min.
  add_compile_definitions(_USE_MATH_DEFINES NOMINMAX)
endif()
