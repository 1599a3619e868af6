// The data dictionary: a table described as a tree of descriptors.
//
// Every descriptor is a dictionary item (TqdDictionaryItem): a node of a tree
// whose root is the data dictionary. An item knows its owner (diParent, not
// owned), the items built with it as parent (diChilds, not owned: each owner
// keeps and frees its parts in fields of its own), free name=value custom
// strings, the ID its dictionary handed out, an optional constraint name that
// is unique per table, and the cache flag. Every descriptor body in the
// dictionary stream starts with the item header written by SaveToWriter.
//
// Classes, by topic; each topic has its own header, included here, and its
// implementation file (in brackets). A topic header declares the classes of
// the other topics by name only: a translation unit that works with one
// topic includes that topic's header, and this header only when it needs
// the whole tree (or the start and end of the unit).
//   qdsdDataDictionary_Items.h: items and locales [qdsdDataDictionary.cpp]
//     TqdDictionaryItem, TqdLocaleDescriptor, TqdLocalizedDictionaryItem,
//     the class records of every family, the client versions of the stream
//   qdsdDataDictionary_Defaults.h: what a field holds besides its type
//   [_Defaults.cpp]
//     TqdBaseDefaultValueDescriptor, TqdConstDefaultValueDescriptor,
//     TqdAutoGuidDefaultValueDescriptor, TqdNextLSNDefaultValueDescriptor,
//     TqdBaseFieldValidationDescriptor and its kinds,
//     TqdFieldValidationsDescriptor, TqdFieldsValidationsDescriptor
//   qdsdDataDictionary_Fields.h: fields and the record image [_Fields.cpp,
//   _Variants.cpp]
//     IqdFieldDescriptor, IqdFieldsSource (how filter engines read fields),
//     TqdFieldDescriptor, TqdFieldsDescriptor
//   qdsdDataDictionary_Keys.h: keys and indexes [_Keys.cpp]
//     TqdBaseKeyDescriptor, TqdRefKeyDescriptor, TqdInt64KeyDescriptor,
//     TqdBlobCacheKeyDescriptor, TqdCompKeyDescriptor,
//     TqdNoNullCompKeyDescriptor, TqdKeyFieldDescriptor,
//     TqdTextKeyFieldDescriptor, TqdExtTextKeyFieldDescriptor,
//     TqdIndexDescriptor, TqdBaseIndicesDescriptor,
//     TqdMainIndicesDescriptor, TqdInternalIndicesDescriptor
//   qdsdDataDictionary_Storage.h: storage [_Storage.cpp]
//     TqdBaseBlockHeapDescriptor, TqdBaseHeapDescriptor,
//     TqdFileEngineDescriptor, TqdBaseRecordDescriptor,
//     TqdHeapRecordDescriptor, TqdBaseRecordCompressionDescriptor,
//     TqdBaseBlobDescriptor, TqdHeapBlobDescriptor, TqdBaseAutoIncDescriptor,
//     TqdAdvAutoIncDescriptor, TqdBaseStreamDescriptor,
//     TqdBaseCustomDescriptor, TqdCustomDescsDescriptor, TqdTablesDescriptor
//   qdsdDataDictionary_Tables.h: files, tables and the dictionary
//   [_Tables.cpp, _Caching.cpp, _Stream.cpp]
//     TqdFileDescriptor, TqdFilesDescriptor, TqdBaseTableDescriptor,
//     TqdNestedTableDescriptor, TqdDataDictionary
//
// Ownership. Owners free their parts in their destructors, and every part
// leaves its owner's lists (children, change notifications, constraint
// names) on destruction. Lists that hold the numbers of other items (key
// fields -> fields, indexes and storage descriptors -> files, the main
// indices -> its default index) register with the list owner and follow its
// change notices; when a list owner goes first it detaches its registered
// items, so no item is ever left pointing at a freed owner.
//
// Classes by name. Each family of descriptors (locale, field, fields, key,
// key field, index, indices, record, BLOB, ...) has a class record carrying
// a factory with the family's constructor arguments (so that a class chosen
// at run time can be built) and its own registry, filled at start-up
// (qdsdDataDictionaryInitialize). A stream names classes by their class
// name; readers resolve them in the registry of the family they expect.
//
// Threads. A dictionary is built and edited by one thread. Made read-only
// (MakeReadOnly) and cached, it is shared by every session and cursor and
// read without locks: every editing operation calls CheckReadOnly first and
// raises 15500 then. The values created on a shared dictionary are published
// with a compare-exchange (the loser frees its copy): the current NLS version
// of a locale descriptor and the diff-compressor info of a fields
// descriptor. Writers of streams do not change the items they write. The
// assign nesting depth and the information-loss flag are thread-local.
#pragma once

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

// --- Unit start and end ------------------------------------------------------------------

// Reads the locale switch and registers the descriptor classes.
void qdsdDataDictionaryInitialize();
void qdsdDataDictionaryFinalize();

}  // namespace qd
