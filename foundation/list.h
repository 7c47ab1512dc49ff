// List: a doubly linked list of element pointers with one built-in cursor, and
// SearchableList, which finds elements by key.

#ifndef FOUNDATION_LIST_H_
#define FOUNDATION_LIST_H_

#include "foundation/key_compare.h"

enum ListPosition { ListHead = 0, ListCurrent = 1, ListTail = 2 };

// Holds pointers, never copies. An owning list (owns != 0) destroys the elements it
// still holds on Dump() and destruction; Remove() never destroys: the element is
// handed back. A walk (First/Next) and a Find share the one cursor.
template <class T>
class List {
  public:
    explicit List(int owns)
        : owns_(owns), entries_(0), first_(nullptr), current_(nullptr), last_(nullptr) {}
    virtual ~List() {
        if (entries_ > 0) Dump();
    }
    List(const List&) = delete;
    List& operator=(const List&) = delete;

    // Adds e and makes it the cursor. ListCurrent inserts before the cursor.
    // REQUIRES: for ListCurrent on a non-empty list, a cursor.
    void Insert(T* e, ListPosition p) {
        Node* n = new Node{nullptr, nullptr, e};
        if (first_ == nullptr) {
            first_ = last_ = n;
        } else if (p == ListHead || (p == ListCurrent && current_ == first_)) {
            n->next = first_;
            first_->previous = n;
            first_ = n;
        } else if (p == ListTail || current_ == nullptr) {
            n->previous = last_;
            last_->next = n;
            last_ = n;
        } else {
            n->next = current_;
            n->previous = current_->previous;
            current_->previous->next = n;
            current_->previous = n;
        }
        current_ = n;
        entries_++;
    }

    // Unlinks one node and returns its element (not destroyed); null if empty.
    // Removing the cursor node moves the cursor: ListHead to the new first node,
    // ListTail to the new last node, ListCurrent to the following node.
    T* Remove(ListPosition p) {
        if (first_ == nullptr) return nullptr;
        Node* n = p == ListHead ? first_ : (p == ListTail ? last_ : current_);
        if (n == nullptr) return nullptr;
        Node* replacement = p == ListHead ? n->next : (p == ListTail ? n->previous : n->next);
        if (n->previous)
            n->previous->next = n->next;
        else
            first_ = n->next;
        if (n->next)
            n->next->previous = n->previous;
        else
            last_ = n->previous;
        if (current_ == n) current_ = replacement;
        T* e = n->element;
        delete n;
        entries_--;
        return e;
    }

    int Entries() const { return entries_; }

    // Cursor to the first node holding exactly e; null cursor and result if none.
    T* Seek(T* e) {
        for (current_ = first_; current_ != nullptr; current_ = current_->next) {
            if (current_->element == e) return e;
        }
        return nullptr;
    }

    T* First() {
        current_ = first_;
        return current_ ? current_->element : nullptr;
    }
    T* Last() {
        current_ = last_;
        return current_ ? current_->element : nullptr;
    }
    T* Current() const { return current_ ? current_->element : nullptr; }
    T* Next() {
        if (current_) current_ = current_->next;
        return current_ ? current_->element : nullptr;
    }
    T* Previous() {
        if (current_) current_ = current_->previous;
        return current_ ? current_->element : nullptr;
    }

    // Frees every node, destroying the elements if the list owns them.
    void Dump() {
        Node* n = first_;
        while (n != nullptr) {
            Node* next = n->next;
            if (owns_) delete n->element;
            delete n;
            n = next;
        }
        first_ = last_ = current_ = nullptr;
        entries_ = 0;
    }

    // Frees every node without touching the elements.
    void RemoveAll() {
        int owns = owns_;
        owns_ = 0;
        Dump();
        owns_ = owns;
    }

    int owns() const { return owns_; }

  protected:
    struct Node {
        Node* previous;
        Node* next;
        T* element;  // owned when the list owns its elements
    };

    int owns_;
    int entries_;
    Node* first_;    // owned chain of nodes
    Node* current_;  // not owned: a node of the chain, or null
    Node* last_;     // not owned: the end of the chain
};

// A List that finds elements by key: the element's key() compared with CompareKeys().
template <class T, class K>
class SearchableList : public List<T> {
  public:
    explicit SearchableList(int owns) : List<T>(owns) {}

    // The first element from the head whose key compares equal; the cursor is left on
    // it. Null, with a null cursor, when none matches.
    T* Find(K key) {
        for (T* e = this->First(); e != nullptr; e = this->Next()) {
            if (Compare(key, e) == 0) return e;
        }
        return nullptr;
    }

    int Compare(K key, T* e) { return CompareKeys(key, e->key()); }
};

#endif  // FOUNDATION_LIST_H_
