# Local frame, quadrant boxes and plane kernel.
vandrel_add_gtest(geometry_tests
  local_coordinate_for_ICI_test.cpp
  find_index_in_anisotropic_square_v2_test.cpp
  polynom_kernel_ICI_octant_single_est_order1_test.cpp)
