#pragma once
// The report section of the special covariance matrix of pass 1.
#include "linalg/views.h"
#include "report/estimation_sections.h"

namespace kova {

// At print level 3 or more: the group-and-pass heading, the title line,
// the matrix (cov.rows x cov.rows) under " COVARIANCE MATRIX" and the list
// of its standard errors (a rounding-negative variance counts as zero).
void printSpecialCovarianceSection(const SectionContext& c, Mat cov);

}  // namespace kova
