# The Linux helper as packed for npm: libstdc++ linked in, so that it needs no
# GLIBCXX version from the system. libgcc stays shared: libgcc_s.so.1 (GCC_4.2.0)
# is on every glibc system, while the static unwinder of GCC 12 needs glibc
# 2.35 (_dl_find_object). The floor this leaves is measured with objdump -T
# and written in the README's requirements.
target_link_options(sondrel-process-loopback PRIVATE -static-libstdc++)
target_sources(sondrel-process-loopback PRIVATE ${CMAKE_CURRENT_LIST_DIR}/arc4random.cpp)
