// The decisions that code one symbol or exponent, in coding order, as data:
// reference encoders in the tests build payloads from them.
#pragma once

#include <cstdint>
#include <vector>

#include "coding/QOR_Model_Unit.h"

namespace qor_test {

struct T_Decision {
  T_QOR_Model* Model;
  int32_t Value;
};

inline std::vector<T_Decision> Symbol_Decisions(const T_QOR_Symbol_Model& M, int32_t Symbol) {
  if (Symbol < 3) return {{M.Head_Model.get(), Symbol}};
  const int32_t g = M.Group_Of[Symbol];
  std::vector<T_Decision> D = {{M.Head_Model.get(), 3}, {M.Group_Model.get(), g}};
  if (M.Group_Models[g]->Symbol_Count > 1) D.push_back({M.Group_Models[g].get(), Symbol - QOR_Group_Bound[g]});
  return D;
}

inline std::vector<T_Decision> Exponent_Decisions(const T_QOR_Exponent_Model& M, int32_t Exponent) {
  const int32_t g = M.Group_Of[Exponent];
  std::vector<T_Decision> D = {{M.Head_Model.get(), g}};
  if (M.Group_Models[g]->Symbol_Count > 1) D.push_back({M.Group_Models[g].get(), Exponent - QOR_Exponent_Bound[g]});
  return D;
}

}  // namespace qor_test
