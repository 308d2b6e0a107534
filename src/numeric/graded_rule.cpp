#include "numeric/graded_rule.hpp"

namespace tarnivox::graded_rule {

// Correctly rounded from 60-digit values.
#include "numeric/graded_rule_nodes.inc"
#include "numeric/graded_rule_smooth_nodes.inc"

}  // namespace tarnivox::graded_rule
