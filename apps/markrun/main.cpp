// Markrun: the self-check of the container library.
//
// Checks iList against std::list and iAssociatedList against std::map over
// long random sequences of operations, then demonstrates identifier strings
// and their similarity search. Everything is driven by one generator with a
// fixed start, so every run prints the same report. The exit status is 0 in
// every case; a mismatch shows as a line starting with "Loop[".

#include <cstdio>
#include <list>
#include <map>

#include "iAssociatedList.h"
#include "iList.h"
#include "list_check.h"
#include "map_check.h"
#include "markrun_demo.h"
#include "markrun_random.h"

int main() {
  using namespace placefinder;
  MarkrunRandom random;

  // The containers of the first two checks live until the end of the program.
  iList<ListElement> list;
  std::list<ListElement> referenceList;
  if (!ListCheck<iList<ListElement>>(list, referenceList, random, stdout).Run()) return 0;

  iAssociatedList<MapKey, MapData> map;
  std::map<MapKey, MapData> referenceMap;
  if (!MapCheck<iAssociatedList<MapKey, MapData>>(map, referenceMap, random, stdout).Run()) {
    return 0;
  }

  RunMarkrunDemo(random, stdout);
  return 0;
}
