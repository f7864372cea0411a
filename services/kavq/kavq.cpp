// kavq.cpp — the list service: O(1) doubly linked lists threaded through the callers' elements.
#include "services/kavq/kavq.h"

namespace {

// The words at the start of an element while it is on a list.
struct Links {
    void *next;
    void *prev;
};

Links *links(void *element) {
    return static_cast<Links *>(element);
}

// add_at: puts element at one end of the list, whose head field is `end` (the other end's is
// `other`); `outward` is the link that points off that end, `inward` the one back into the list.
void add_at(void *&end, void *&other, void *Links::*outward, void *Links::*inward, void *element) {
    links(element)->*outward = nullptr;
    links(element)->*inward = end;
    if (end != nullptr) {
        links(end)->*outward = element;
    } else {
        other = element;
    }
    end = element;
}

}  // namespace

extern "C" {

void ExquDllInitializeListToEmpty(EXQU_LIST_HEAD *head) {
    if (head == nullptr) return;
    head->first = nullptr;
    head->last = nullptr;
}

void ExquDllAddToEndOfList(EXQU_LIST_HEAD *head, void *element) {
    if (head == nullptr || element == nullptr) return;
    add_at(head->last, head->first, &Links::next, &Links::prev, element);
}

void ExquDllAddToFrontOfList(EXQU_LIST_HEAD *head, void *element) {
    if (head == nullptr || element == nullptr) return;
    add_at(head->first, head->last, &Links::prev, &Links::next, element);
}

void *ExquDllGetFirstFromList(EXQU_LIST_HEAD *head) {
    return head != nullptr ? head->first : nullptr;
}

void ExquDllDeleteFromList(EXQU_LIST_HEAD *head, void *element) {
    if (head == nullptr || element == nullptr) return;
    Links *l = links(element);
    // An end element must be the head's end: a second delete of the same element (its links
    // are cleared below) or an element of another list then changes nothing.
    if ((l->prev == nullptr && head->first != element) ||
        (l->next == nullptr && head->last != element)) {
        return;
    }
    if (l->prev != nullptr) {
        links(l->prev)->next = l->next;
    } else {
        head->first = l->next;
    }
    if (l->next != nullptr) {
        links(l->next)->prev = l->prev;
    } else {
        head->last = l->prev;
    }
    // Cleared so that a stale element never leads back into the list it left.
    l->next = nullptr;
    l->prev = nullptr;
}
}
