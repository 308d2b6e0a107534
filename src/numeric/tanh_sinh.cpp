#include "numeric/tanh_sinh.hpp"

namespace tarnivox::tanh_sinh {

// x = tanh((pi/2) sinh t), w = h (pi/2) cosh t / cosh^2((pi/2) sinh t),
// correctly rounded from 60-digit values.
const TanhSinhPair NODES[PAIRS] = {
#include "numeric/tanh_sinh_nodes.inc"
};

}  // namespace tarnivox::tanh_sinh
