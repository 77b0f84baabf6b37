# Dialogs: a thin loader linked into the programs, and the GTK plugin it loads when a dialog is shown.
add_library(dovrel_dialogs STATIC dialogs.cpp)
target_link_libraries(dovrel_dialogs PUBLIC dovrel_platform)

add_library(dovrel_dialogs_plugin MODULE dialogs_gtk.cpp)
target_link_libraries(dovrel_dialogs_plugin PRIVATE PkgConfig::GTK dovrel_platform)
set_target_properties(dovrel_dialogs_plugin PROPERTIES OUTPUT_NAME dovrel-dialogs)
dovrel_bundle_plugin(dovrel_dialogs_plugin)
