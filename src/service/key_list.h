// The keys vardek has handed to the agent, with the provider name each came
// from and its label, in the order they were added.
#ifndef VARDEK_SERVICE_KEY_LIST_H
#define VARDEK_SERVICE_KEY_LIST_H

struct sshkey;

struct key_entry {
  sshkey *key;          // owned; token-bound, holds a reference to its provider
  char *provider_name;  // owned copy of the name as the add request gave it
  char *label;          // owned copy of the label reported (possibly empty)
  key_entry *next;      // list link
};

struct key_list {
  key_entry *head;
  key_entry **tail;  // where the next entry is linked in
};

// Empties the list (start-up only: existing entries are not released).
void key_list_init(void);
// Appends an entry; takes ownership of `key`, copies the two texts (a null
// label is stored as ""). Allocation failure ends the process.
void key_list_add(sshkey *key, const char *provider_name, const char *label);
// Releases every entry whose provider_name equals `provider_name` byte for
// byte; the others keep their order.
void key_list_remove_provider(const char *provider_name);
// Returns the key of the first entry equal to `key` (still owned by the
// list), or null.
sshkey *lookup_key(const sshkey *key);
// Number of entries.
int key_list_count(void);

#endif
