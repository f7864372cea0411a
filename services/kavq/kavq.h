// kavq.h — the list service: doubly linked lists of caller-owned elements. The first two
// pointer-sized words of every element (next, previous) belong to the list while the element
// is on it; the head holds the first and the last element. Every call is O(1) and takes no
// lock: callers serialise the calls on one list. A null head or element changes nothing.
#pragma once

#include "kaviexport.h"

struct EXQU_LIST_HEAD {
    void *first;
    void *last;
};

extern "C" {

// ExquDllInitializeListToEmpty: makes the list empty (elements on it are forgotten, not freed).
KAVI_API void ExquDllInitializeListToEmpty(EXQU_LIST_HEAD *head);
// ExquDllAddToEndOfList, ExquDllAddToFrontOfList: insert an element not on any list.
KAVI_API void ExquDllAddToEndOfList(EXQU_LIST_HEAD *head, void *element);
KAVI_API void ExquDllAddToFrontOfList(EXQU_LIST_HEAD *head, void *element);
// ExquDllGetFirstFromList: the first element, left on the list; null when the list is empty.
KAVI_API void *ExquDllGetFirstFromList(EXQU_LIST_HEAD *head);
// ExquDllDeleteFromList: removes an element that is on this list. Deleting it again, or an
// element at an end of another list, changes nothing.
KAVI_API void ExquDllDeleteFromList(EXQU_LIST_HEAD *head, void *element);
}
