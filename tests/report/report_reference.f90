! Reference for the report tests: writes, with gfortran's own edit
! descriptors, the text that the matrix printer, the heading printer and
! the parameter echo must produce for the cases in test_matrix_printer.cpp
! and test_parameter_report.cpp. Build and run:
!   gfortran -o report_reference report_reference.f90 && ./report_reference
program report_reference
  implicit none
  double precision :: a(2,3), col(13), row(7)
  integer :: i
  a = reshape([1.0d0, -2.5d0, 123456.0d0, 0.001234d0, 0.0d0, 99999.5d0], [2,3])
  do i = 1, 13
    col(i) = dble(i) * 1.5d0 - 7.0d0
  end do
  col(13) = 1.0d-100
  do i = 1, 7
    row(i) = 10.0d0**(i-4) * 3.14159265d0
  end do

  write(*,'(A)') '=== 2 x 3'
  write(*,'(/)')
  write(*,'('' '',A29,'' ( 2 BY 3 MATRIX )'' )') 'THE PHI MATRIX (ALGORITHM LM)'
  write(*,'(2X,''COLUMN 1''/,( 6 G13.5) )') (a(i,1), i=1,2)
  write(*,'(2X,''COLUMN 2''/,( 6 G13.5) )') (a(i,2), i=1,2)
  write(*,'(2X,''COLUMN 3''/,( 6 G13.5) )') (a(i,3), i=1,2)
  write(*,'(A)') '=== 13 x 1'
  write(*,'(/)')
  write(*,'('' '',A5,'' ( 13-COMPONENT VECTOR ) '' )') 'MU(T)'
  write(*,'(1X,6 G13.5 )') (col(i), i=1,13)
  write(*,'(A)') '=== 1 x 1'
  write(*,'(/)')
  write(*,'('' '',A7,'' ( 1-COMPONENT VECTOR ) '' )') 'SIGMA**'
  write(*,'(1X,6 G13.5 )') -0.5d0
  write(*,'(A)') '=== 1 x 7 along a row'
  write(*,'(/)')
  write(*,'('' '',A3,'' ( 7-COMPONENT VECTOR ) '' )') 'ABC'
  write(*,'(1X,6 G13.5 )') (row(i), i=1,7)
  write(*,'(A)') '=== 0 rows'
  write(*,'(/)')
  write(*,'('' PRINTING OF '',A5,'' HAS BEEN CANCELED.'')') 'EMPTY'
  write(*,*) 'NUMBER OF ROWS =', 0
  write(*,'(A)') '=== 5 x 1000'
  write(*,'(/)')
  write(*,'('' PRINTING OF '',A4,'' HAS BEEN CANCELED.'')') 'WIDE'
  write(*,*) 'NUMBER OF COLUMNS =', 1000
  write(*,'(A)') '=== 999 x 2, first column head'
  write(*,'(2X,''COLUMN 1''/,( 6 G13.5) )') 0.1d0, 0.09999949d0, 99999.49d0, 99999.51d0, 1.0d5, -1.0d-5
  write(*,'(A)') '=== PRTHDG'
  write(*,'(/)')
  write(*,'('' GROUP  17'',10X,'' ITERATION   3'' )')
  write(*,'(/)')
  write(*,'('' GROUP   150'')')
  write(*,'(/)')
  write(*,'('' ITERATION    0'')')
  write(*,'(A)') '=== EVLTOL'
  write(*,'(A,G13.5,A)') '[', 0.995d0, ']'
  write(*,'(A,G13.5,A)') '[', 0.95d0, ']'
end program
