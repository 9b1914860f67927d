#include "catalogue.hpp"

Json tool_defs() { return Json::array(); }
