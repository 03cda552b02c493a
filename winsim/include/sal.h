/*
 * sal.h (winsim)
 *
 * Source annotations compile to nothing on the host; they document the contract for the
 * Windows build, where the WDK's own sal.h and driverspecs.h take their place.
 */
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Inout_z_
#define _In_reads_(n)
#define _In_reads_opt_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _In_reads_or_z_(n)
#define _In_reads_or_z_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_opt_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, m)
#define _Out_writes_bytes_to_opt_(n, m)
#define _Out_writes_to_(n, m)
#define _Inout_updates_(n)
#define _Inout_updates_bytes_(n)
#define _Inout_updates_bytes_opt_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_opt_result_maybenull_
#define _Outptr_result_nullonfailure_
#define _Outptr_opt_result_nullonfailure_
#define _Outptr_result_buffer_(n)
#define _Outptr_result_bytebuffer_(n)
#define _Deref_out_
#define _Deref_out_opt_
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Ret_z_
#define _Ret_range_(a, b)
#define _In_range_(a, b)
#define _Out_range_(a, b)
#define _Field_size_(n)
#define _Field_size_opt_(n)
#define _Field_size_bytes_(n)
#define _Field_size_bytes_opt_(n)
#define _Field_range_(a, b)
#define _Null_terminated_
#define _NullNull_terminated_
#define _Printf_format_string_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(expr)
#define _Return_type_success_(expr)
#define _When_(cond, annos)
#define _At_(target, annos)
#define _Pre_satisfies_(cond)
#define _Post_satisfies_(cond)
#define _Pre_notnull_
#define _Pre_maybenull_
#define _Post_invalid_
#define _Post_null_
#define _Post_writable_byte_size_(n)
#define _Post_ptr_invalid_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Analysis_assume_(expr)
#define _Analysis_mode_(mode)
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _Dispatch_type_(type)
#define _Struct_size_bytes_(n)
#define _Interlocked_operand_
#define _Strict_type_match_
#define _Reserved_
#define _Notnull_
#define _Maybenull_
#define _Literal_
#define _Const_

/* IRQL annotations (driverspecs.h). */
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(kind, param)
#define _IRQL_restores_global_(kind, param)
#define _IRQL_always_function_max_(irql)
#define _IRQL_always_function_min_(irql)
#define _IRQL_uses_cancel_
#define _IRQL_is_cancel_
#define __drv_allocatesMem(kind)
#define __drv_freesMem(kind)
#define __drv_aliasesMem
#define __drv_strictTypeMatch(mode)
#define __drv_strictType(type, mode)
#define __drv_requiresIRQL(irql)
#define __drv_maxIRQL(irql)
#define __drv_when(cond, annos)
#define __drv_dispatchType(type)
#define _Kernel_requires_resource_held_(kind)
#define _Kernel_requires_resource_not_held_(kind)
#define _Kernel_acquires_resource_(kind)
#define _Kernel_releases_resource_(kind)
#define _Kernel_clear_do_init_(yesno)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Kernel_float_used_

/* Concurrency annotations (concurrencysal.h). */
#define _Guarded_by_(lock)
#define _Write_guarded_by_(lock)
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Requires_shared_lock_held_(lock)
#define _Requires_exclusive_lock_held_(lock)
#define _Requires_no_locks_held_
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _Acquires_exclusive_lock_(lock)
#define _Acquires_shared_lock_(lock)
#define _Releases_exclusive_lock_(lock)
#define _Releases_shared_lock_(lock)
#define _Create_lock_level_(level)
#define _Has_lock_level_(level)
#define _Lock_level_order_(a, b)
#define _No_competing_thread_
#define _Benign_race_begin_
#define _Benign_race_end_
