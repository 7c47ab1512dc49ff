// SplayTree: a self-adjusting binary search tree of element pointers (top-down
// splay with one header node and two side trees).

#ifndef FOUNDATION_SPLAY_TREE_H_
#define FOUNDATION_SPLAY_TREE_H_

#include <vector>

#include "foundation/key_compare.h"
#include "foundation/list.h"
#include "foundation/recycler.h"

// Keyed by K (string keys ignore case). Duplicates are kept: an element inserted with
// a key equal to existing ones lands after them in key order, and Find() always
// returns the newest of equal elements. Elements leave the tree only when the whole
// tree is dumped. Every look-up restructures the tree.
//
// Invariant: among elements with equal keys, in-order position follows insertion
// order, so the newest is the rightmost; Splay() stops at the rightmost equal node.
template <class T, class K>
class SplayTree {
  public:
    explicit SplayTree(int owns) : owns_(owns), root_(nullptr) {}
    virtual ~SplayTree() {
        if (root_ != nullptr) Dump();
    }
    SplayTree(const SplayTree&) = delete;
    SplayTree& operator=(const SplayTree&) = delete;

    void Insert(T* e) {
        Node* n = new Node{nullptr, nullptr, e};
        if (root_ == nullptr) {
            root_ = n;
            return;
        }
        K key = Key(e);
        Splay(key);
        if (Compare(key, root_->element) >= 0) {
            n->left = root_;
            n->right = root_->right;
            root_->right = nullptr;
        } else {
            n->right = root_;
            n->left = root_->left;
            root_->left = nullptr;
        }
        root_ = n;
    }

    // Elements are never removed one at a time.
    T* Remove(K) { return nullptr; }

    T* Find(K key) {
        if (root_ == nullptr) return nullptr;
        // The root is the answer when it matches and nothing sorts after it.
        if (root_->right == nullptr && Compare(key, root_->element) == 0) return root_->element;
        Splay(key);
        return Compare(key, root_->element) == 0 ? root_->element : nullptr;
    }

    // Frees every node, destroying the elements if the tree owns them.
    void Dump() {
        DumpNode(root_);
        root_ = nullptr;
    }

    K Key(T* e) { return e->key(); }
    int Compare(K key, T* e) { return CompareKeys(key, Key(e)); }

    // Appends every element in ascending key order at the tail of l; the tree keeps
    // ownership.
    void AppendToList(List<T>& l) const { AppendNode(root_, l); }
    // Calls visit(element) for every element, in no particular order.
    template <class F>
    void Visit(F visit) const {
        VisitNode(root_, visit);
    }

    bool empty() const { return root_ == nullptr; }
    int owns() const { return owns_; }

  protected:
    struct Node {
        Node* left;
        Node* right;
        T* element;  // owned when the tree owns its elements

        static void* operator new(size_t size) { return Recycler::Take(size); }
        static void operator delete(void* p, size_t size) { Recycler::Give(p, size); }
    };

    // Brings the rightmost node with this key to the root, or a neighbour of the key
    // when there is none.
    void Splay(K key) {
        if (root_ == nullptr) return;
        Node header{nullptr, nullptr, nullptr};
        Node* left_max = &header;   // largest node of the left side tree
        Node* right_min = &header;  // smallest node of the right side tree
        Node* t = root_;
        for (;;) {
            int c = Direction(key, t);
            if (c == 0) break;
            if (c < 0) {
                if (t->left == nullptr) break;
                if (Compare(key, t->left->element) < 0) {
                    Node* y = t->left;  // rotate right
                    t->left = y->right;
                    y->right = t;
                    t = y;
                    if (t->left == nullptr) break;
                }
                right_min->left = t;  // link right
                right_min = t;
                t = t->left;
            } else {
                if (t->right == nullptr) break;
                if (Compare(key, t->right->element) > 0) {
                    Node* y = t->right;  // rotate left
                    t->right = y->left;
                    y->left = t;
                    t = y;
                    if (t->right == nullptr) break;
                }
                left_max->right = t;  // link left
                left_max = t;
                t = t->right;
            }
        }
        left_max->right = t->left;  // reassemble
        right_min->left = t->right;
        t->left = header.right;
        t->right = header.left;
        root_ = t;
    }

  private:
    // Like Compare(), but an equal node with an equal successor counts as smaller
    // than the key, so the walk continues towards the newest equal element.
    int Direction(K key, Node* t) {
        int c = Compare(key, t->element);
        if (c != 0 || t->right == nullptr) return c;
        Node* successor = t->right;
        while (successor->left != nullptr) successor = successor->left;
        return Compare(key, successor->element) == 0 ? 1 : 0;
    }

    // Iterative so that a degenerate tree (keys inserted in order form a chain) cannot
    // exhaust the stack: rotate left children up, then free the node.
    void DumpNode(Node* n) {
        while (n != nullptr) {
            if (n->left != nullptr) {
                Node* l = n->left;
                n->left = l->right;
                l->right = n;
                n = l;
                continue;
            }
            Node* right = n->right;
            if (owns_) delete n->element;
            delete n;
            n = right;
        }
    }

    template <class F>
    static void VisitNode(const Node* n, F& visit) {
        while (n != nullptr) {
            visit(n->element);
            VisitNode(n->left, visit);
            n = n->right;
        }
    }

    static void AppendNode(const Node* n, List<T>& l) {
        std::vector<const Node*> path;
        while (n != nullptr || !path.empty()) {
            while (n != nullptr) {
                path.push_back(n);
                n = n->left;
            }
            n = path.back();
            path.pop_back();
            l.Insert(n->element, ListTail);
            n = n->right;
        }
    }

    int owns_;
    Node* root_;  // owned
};

#endif  // FOUNDATION_SPLAY_TREE_H_
