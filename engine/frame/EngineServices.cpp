#include "engine/frame/EngineServices.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace bw {
namespace {

struct ServiceList {
  std::mutex guard;
  std::vector<EngineServiceStop> stops;
};

ServiceList& Services() {
  static ServiceList* list = new ServiceList;
  return *list;
}

}  // namespace

void AddEngineService(EngineServiceStop stop) {
  ServiceList& list = Services();
  std::lock_guard<std::mutex> hold(list.guard);
  if (stop && std::find(list.stops.begin(), list.stops.end(), stop) == list.stops.end()) list.stops.push_back(stop);
}

void StopEngineServices() {
  std::vector<EngineServiceStop> stops;
  {
    ServiceList& list = Services();
    std::lock_guard<std::mutex> hold(list.guard);
    stops.swap(list.stops);
  }
  // Outside the guard: a stopping service may log or register again.
  for (auto it = stops.rbegin(); it != stops.rend(); ++it) (*it)();
}

}  // namespace bw
