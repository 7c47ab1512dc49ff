// Stack: a linked stack of element pointers with a cursor that can walk down.

#ifndef FOUNDATION_STACK_H_
#define FOUNDATION_STACK_H_

#include <assert.h>

// Push() and Top() put the cursor on the top; Peek() walks it down one node at a
// time. Pop() cuts the stack back to the cursor: every node above it is discarded
// (destroying its element if the stack owns its elements), then the cursor's element
// is removed and returned undestroyed. With the cursor on the top this is the
// ordinary pop.
template <class T>
class Stack {
  public:
    explicit Stack(int owns) : owns_(owns), top_(nullptr), cursor_(nullptr), spare_(nullptr) {}
    virtual ~Stack() {
        if (top_ != nullptr) Dump();
        while (spare_ != nullptr) {
            Node* n = spare_;
            spare_ = n->below;
            delete n;
        }
    }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    void Push(T* e) {
        Node* n = spare_;
        if (n != nullptr) {
            spare_ = n->below;
            n->below = top_;
            n->element = e;
        } else {
            n = new Node{top_, e};
        }
        top_ = n;
        cursor_ = top_;
    }

    // REQUIRES: the stack is not empty.
    T* Pop() {
        assert(top_ != nullptr);
        if (cursor_ == nullptr) cursor_ = top_;
        while (top_ != cursor_) {
            Node* n = top_;
            top_ = n->below;
            if (owns_) delete n->element;
            Recycle(n);
        }
        Node* n = top_;
        T* e = n->element;
        top_ = n->below;
        Recycle(n);
        cursor_ = top_;
        return e;
    }

    T* Top() {
        cursor_ = top_;
        return top_ ? top_->element : nullptr;
    }

    // Moves the cursor one node down; null below the bottom.
    T* Peek() {
        if (cursor_ != nullptr) cursor_ = cursor_->below;
        return cursor_ ? cursor_->element : nullptr;
    }

    void Dump() {
        while (top_ != nullptr) {
            Node* n = top_;
            top_ = n->below;
            if (owns_) delete n->element;
            delete n;
        }
        cursor_ = nullptr;
    }

    bool empty() const { return top_ == nullptr; }
    int owns() const { return owns_; }

  private:
    struct Node {
        Node* below;
        T* element;  // owned when the stack owns its elements
    };

    // Keeps a popped node for the next push: stacks that go up and down with every
    // call (states, scopes) then allocate only for a new greatest depth.
    void Recycle(Node* n) {
        n->below = spare_;
        spare_ = n;
    }

    int owns_;
    Node* top_;     // owned chain, top first
    Node* cursor_;  // not owned: a node of the chain, or null
    Node* spare_;   // owned chain of unused nodes
};

#endif  // FOUNDATION_STACK_H_
