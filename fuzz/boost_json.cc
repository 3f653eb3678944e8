// Boost.JSON compiled into the fuzz build (see CMakeLists.txt), once for every target.
#include <boost/json/src.hpp>
